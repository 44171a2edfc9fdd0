// What a fuzz target keeps for its whole run (a machine and what is on it).
// Under libFuzzer the process ends with it in place; the replay main ends
// every kept object before it returns, so that the machines shut down and
// join their threads, as a test's would.
#pragma once

#include <functional>

namespace zfuzz {

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
