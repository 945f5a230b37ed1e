#pragma once

// The native half of the Python package: thin handles over the library's objects. Everything a
// Python user sees (classes, properties, exceptions, context managers) is shaped in the package's
// Python half; this half converts, releases the interpreter lock around disk work, and turns a
// library failure into a C++ Failure that the registered translator raises as talvo2.Error.

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "flag_holder.hpp"
#include "talvo2/talvo2.hpp"

namespace talvo_py {

namespace py = pybind11;
using corekit2::sptr_t;

// A library failure on its way to Python: the error_t, what was attempted, and for a flag held
// elsewhere who holds it.
struct Failure : std::runtime_error {
    Failure(talvo2::error_t why, const std::string& message,
            std::optional<talvo_front::FlagHolder> who = std::nullopt)
        : std::runtime_error(message), code(why), holder(std::move(who)) {}
    talvo2::error_t code;
    std::optional<talvo_front::FlagHolder> holder;
};

// Throw the library's last error (OperationFailed when it recorded none), or `code`, for `what`,
// with the front ends' message for the code.
[[noreturn]] void failLast(const std::string& what);
[[noreturn]] void fail(talvo2::error_t code, const std::string& what);

std::string utf8(const wchar_t* text);
std::string utf8(const std::wstring& text);
// Raises InvalidPath for text holding a NUL character, which would end a name early.
std::wstring wide(const std::string& text);

// One node of any kind. `result` is set when the node is a result directory. Every handle of
// one library node shares one mutex: the library's nodes are used by one thread at a time, and
// opening a path twice gives the same node.
struct Node {
    sptr_t<talvo2::INode> node;
    sptr_t<talvo2::IResultDirectory> result;
    std::string kind;  // "result", "project", "experiment" or "node"
    std::shared_ptr<std::recursive_mutex> mutex;

    explicit Node(sptr_t<talvo2::INode> opened);
    talvo2::IResultDirectory& asResult() const;
    std::string where() const;  // the node's path, for messages (call under Access)
};

// Whether the interpreter is shutting down (or about to) and the calling thread is not the main
// one: such a thread that asks for the interpreter lock is ended where it stands, which C++
// frames cannot survive.
bool interpreterExiting();

// Releases the interpreter lock for its lifetime and takes it back at the end, unless the
// interpreter is shutting down by then: the thread (a daemon thread, since the others have been
// joined) then waits for the process to end instead of being ended inside C++ frames.
class Released {
public:
    Released() : m_state(PyEval_SaveThread()) {}
    ~Released();
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    PyThreadState* m_state;
};

// The use of a node by the calling thread, with the interpreter lock released for its length
// (taken in that order, so a thread waiting for the node never holds up one that needs the
// interpreter). Refuses the node a transfer of this thread is moving: its progress callback
// must not reach into it.
class Access {
public:
    explicit Access(const Node& node);
    ~Access();
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;

    // Marks `node` as moved by a transfer of this thread for the lifetime of the object.
    class Transfer {
    public:
        explicit Transfer(const Node& node);
        ~Transfer();
        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;
    };

private:
    const Node& m_node;
    std::optional<Released> m_released;
};

// A section of a node's property bag; keeps its node alive.
struct Storage {
    sptr_t<propstore2::IPropertyStorage> storage;
    Node owner;
};

// Null when `node` is; a Node otherwise.
std::optional<Node> wrap(sptr_t<talvo2::INode> node);

// `value` (bool, int, float or str) as the library stores it; ParameterError for an int beyond
// 64 bits, TypeError for another type. `name` says whose value it is.
corekit2::variant_t toVariant(const py::handle& value, const std::string& name);

void bindNodes(py::module_& m);
void bindStorage(py::module_& m);

}  // namespace talvo_py
