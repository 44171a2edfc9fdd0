#include "target_support.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zfuzz {

void fail(const std::string& text)
{
    std::fprintf(stderr, "fuzz: %s\n", text.c_str());
    std::fflush(stderr);
    std::abort();
}

namespace {

std::vector<std::function<void()>>& kept()
{
    static std::vector<std::function<void()>> ends;
    return ends;
}

} // namespace

void keepUntilEnd(std::function<void()> end)
{
    kept().push_back(std::move(end));
}

void endKeptObjects()
{
    auto& ends = kept();
    while (!ends.empty()) {
        std::function<void()> end = std::move(ends.back());
        ends.pop_back();
        end();
    }
}

} // namespace zfuzz
