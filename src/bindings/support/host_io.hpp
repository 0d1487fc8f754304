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
// How many lines native code has asked to print in this process so far
// (shown or held back by the gate): an operation that asked none said nothing.
size_t native_lines_asked();

// The host's str() of an object, as UTF-8.
std::string to_text(nb::handle o);

// Calls sys.exit(code): raises SystemExit in the host and throws.
[[noreturn]] void host_exit(int code);

// open(path, mode).read() with the file closed in every case; host exceptions propagate.
nb::object read_host_file(nb::handle path, const char* mode);

}  // namespace qm::py

#include <memory>
#include <string_view>

namespace qm::io {
class AtomicFile;
}

namespace qm::py {
// A host path (str, bytes or os.PathLike) in its file-system form; TypeError
// for anything else (an int would be taken as a descriptor by open()).
std::string fs_path(nb::handle path, const char* arg);

// Writing a user's file so that it is never lost or half written: the new
// contents go to a temporary file in the same folder, renamed over the
// target when complete (kernels/io/atomic_write). Failures raise OSError
// with the path and the cause; `what` names the file in the message.
void write_file_atomic(nb::handle path, std::string_view data, const char* what);

// The same for a writer that wants a path (a host library writing the file
// itself): write to temp_path(), then commit(); a target that is destroyed
// without commit() removes the temporary and leaves the old file.
class AtomicTarget {
public:
    AtomicTarget(nb::handle path, const char* what);
    ~AtomicTarget();
    AtomicTarget(const AtomicTarget&) = delete;
    AtomicTarget& operator=(const AtomicTarget&) = delete;
    nb::object temp_path() const;  // str
    void commit();

private:
    std::unique_ptr<io::AtomicFile> file_;
    nb::object path_;
    std::string what_;
};
}  // namespace qm::py
