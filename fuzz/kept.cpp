#include "kept.h"

#include <vector>

namespace zfuzz {

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
