// Placeholder; replaced by the writer and reader.
#include "state_file/state_file.hpp"

#include "common/errors.hpp"

namespace qor {

std::string PersistError::text() const { return detail; }
std::string write_state_json(const QorRouterState&) { throw NotImplemented("state file writer is not implemented yet"); }
std::optional<QorRouterState> read_state_json(std::string_view, PersistError*) {
    throw NotImplemented("state file reader is not implemented yet");
}
std::optional<PersistError> save_state(const QorRouterState&, std::string_view) {
    throw NotImplemented("save is not implemented yet");
}
std::optional<QorRouterState> load_state(std::string_view, PersistError*) {
    throw NotImplemented("load is not implemented yet");
}
std::string temporary_path(std::string_view path) { return std::string(path); }

}  // namespace qor
