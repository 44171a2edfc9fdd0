// What every fuzz target shares: the way it fails an input, and what it
// keeps for its whole run (a machine and what is on it). Under libFuzzer the
// process ends with the kept objects in place; the replay main ends them
// before it returns, so that the machines shut down and join their threads,
// as a test's would.
#pragma once

#include <functional>
#include <string>

namespace zfuzz {

// Aborts with a message: the fuzzer keeps the input that got here.
[[noreturn]] void fail(const std::string& text);

void keepUntilEnd(std::function<void()> end);
// Ends the kept objects, the last kept first.
void endKeptObjects();

template <class T>
T* keep(T* object)
{
    keepUntilEnd([object] { delete object; });
    return object;
}

} // namespace zfuzz
