#include "error.hpp"

#include "io.hpp"

namespace larkspan {

void panic(std::string_view message, std::source_location where) {
    std::string line = "panicked at ";
    line += where.file_name();
    line += ':';
    line += std::to_string(where.line());
    line += ":\n";
    line += message;
    line += '\n';
    io::print_error(line);
    throw Panic(std::string(message));
}

}  // namespace larkspan
