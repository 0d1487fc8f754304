// Host I/O: printing through the host's print, str() as UTF-8, sys.exit,
// and reading a whole file the way the host's open() does.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <unordered_map>
#include <vector>
#include <utility>

namespace qm::py {
namespace nb = nanobind;

// Calls the host's builtins.print with the given objects (looked up at every
// call, so redirected standard output and patched print both see the line).
void print_objects_array(const nb::object* objs, size_t n);
template <typename... Args>
void print(Args&&... args) {
    nb::object objs[] = {nb::cast(std::forward<Args>(args))...};
    print_objects_array(objs, sizeof...(Args));
}

// While a run is in progress the manager holds a gate on the native lines:
// a line printed again is not shown again but counted (a message repeated
// every step is shown once, with the count at the end); with `quiet` only
// lines that begin with "错误" pass.
struct MessageGate {
    bool quiet = false;
    std::vector<std::pair<std::string, size_t>> lines;  // each distinct line, how often it came
    std::unordered_map<std::string, size_t> index;
};
void set_message_gate(MessageGate* gate);  // nullptr: every line is printed
MessageGate* message_gate();

// The host's str() of an object, as UTF-8.
std::string to_text(nb::handle o);

// Calls sys.exit(code): raises SystemExit in the host and throws.
[[noreturn]] void host_exit(int code);

// open(path, mode).read() with the file closed in every case; host exceptions propagate.
nb::object read_host_file(nb::handle path, const char* mode);

}  // namespace qm::py
