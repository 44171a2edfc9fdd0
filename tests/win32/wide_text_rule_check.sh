#!/usr/bin/env bash
# Checks the wide-text rule of host-built Win32 programs: with the rule
# included first, a program that uses the C or C++ library's wide routines
# does not compile, and one that keeps to WCHAR arrays, MultiByteToWideChar
# and std::u16string does.
#   wide_text_rule_check.sh C_COMPILER CXX_COMPILER RULE_HEADER WIN32_INCLUDE_DIR
set -u
cc=$1 cxx=$2 rule=$3 include=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

compile() {   # language file
  local flags=(-fshort-wchar -fsyntax-only -I"$include" -include "$rule")
  if [ "$1" = c ]; then "$cc" -std=c11 "${flags[@]}" -x c "$2"; else "$cxx" -std=c++20 "${flags[@]}" -x c++ "$2"; fi
}

expect() {    # pass|refuse language name source
  printf '%s\n' "$4" > "$work/$3"
  if compile "$2" "$work/$3" > "$work/$3.log" 2>&1; then result=pass; else result=refuse; fi
  if [ "$result" != "$1" ]; then
    echo "FAIL: $3 should $1 to compile"; cat "$work/$3.log"; failures=$((failures + 1))
  elif [ "$1" = refuse ] && ! grep -q poisoned "$work/$3.log"; then
    echo "FAIL: $3 was refused for another reason"; cat "$work/$3.log"; failures=$((failures + 1))
  else
    echo "ok: $3 ${1}d"
  fi
}

expect pass c++ narrow.cpp '#include <windows.h>
#include <filesystem>
#include <iostream>
#include <string>
int f(const char* s) { WCHAR w[16]; std::u16string u(u"x"); std::cout << u.size();
  return MultiByteToWideChar(CP_UTF8, 0, s, -1, w, 16); }'
expect pass c narrow.c '#include <windows.h>
#include <string.h>
int f(const char* s) { WCHAR w[16]; return MultiByteToWideChar(CP_ACP, 0, s, -1, w, 16) + (int)strlen(s); }'
expect refuse c++ wstring.cpp '#include <windows.h>
#include <string>
int f() { std::wstring w = L"COM3"; return (int)w.size(); }'
expect refuse c++ wcout.cpp '#include <windows.h>
#include <iostream>
void f() { std::wcout << L"COM3"; }'
expect refuse c++ path.cpp '#include <windows.h>
#include <filesystem>
int f(const std::filesystem::path& p) { return (int)p.wstring().size(); }'
expect refuse c wcslen.c '#include <windows.h>
#include <wchar.h>
int f(const WCHAR* s) { return (int)wcslen(s); }'
expect refuse c swprintf.c '#include <windows.h>
#include <wchar.h>
void f(WCHAR* s) { swprintf(s, 8, L"COM%d", 3); }'
exit $((failures > 0))
