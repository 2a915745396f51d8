#include <cstring>
#include <string>

#include "state_file/state_file.hpp"

namespace qor {

std::string PersistError::text() const {
    switch (kind) {
        case Kind::Io:
            return "IO error: " + detail;
        case Kind::Serialization:
            return "serialization error: " + detail + " at line " + std::to_string(line) + " column " +
                   std::to_string(column);
        case Kind::InvalidMagic:
            return "invalid file magic";
        case Kind::UnsupportedVersion:
            return "unsupported version " + std::to_string(version);
        case Kind::InvalidState:
            return "invalid state: " + detail;
    }
    return detail;
}

PersistError PersistError::os(int code) {
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return io(std::string(text) + " (os error " + std::to_string(code) + ")");
}

}  // namespace qor
