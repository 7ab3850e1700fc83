// The files of a benchmark drop: many sparse files in one folder, made the same way every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace miruteka::bench {

struct DropSet {
    std::vector<std::string> paths; // full UTF-8 paths, in drop order
    std::int64_t totalBytes = 0;
};

// Creates `count` files in `folder` (which must exist) and returns their paths. Names vary in
// length and mix ASCII and Japanese; lengths are drawn from 0 to 10,000,000 bytes with a fixed
// seed. The files are sparse (ftruncate), so they take no disk blocks. Throws on failure.
DropSet MakeDropSet(const std::string& folder, std::size_t count);

} // namespace miruteka::bench
