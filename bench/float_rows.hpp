// Reads an n x d float32 matrix written by NumPy's tofile() for the bench drivers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace qor::bench {

// The rows of `path`, or false (with a message on stderr) when the file
// holds fewer than n * d floats.
inline bool read_float_rows(const char* path, uint64_t n, uint64_t d, std::vector<float>& rows) {
    rows.resize(n * d);
    std::FILE* f = std::fopen(path, "rb");
    const bool ok = f != nullptr && std::fread(rows.data(), sizeof(float), rows.size(), f) == rows.size();
    if (f != nullptr) std::fclose(f);
    if (!ok)
        std::fprintf(stderr, "cannot read %llu x %llu floats from %s\n", static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(d), path);
    return ok;
}

}  // namespace qor::bench
