#pragma once

// The native half of the Python package: thin handles over the library's objects. Everything a
// Python user sees (classes, properties, exceptions, context managers) is shaped in the package's
// Python half; this half converts, releases the interpreter lock around disk work, and turns a
// library failure into a C++ Failure that the registered translator raises as talvo2.Error.

#include <pybind11/pybind11.h>

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

// Throws the library's last error for `what` (OperationFailed when it recorded none).
[[noreturn]] void failLast(const std::string& what);
[[noreturn]] void fail(talvo2::error_t code, const std::string& what);

std::string utf8(const wchar_t* text);
std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& text);

// One node of any kind. `result` is set when the node is a result directory.
struct Node {
    sptr_t<talvo2::INode> node;
    sptr_t<talvo2::IResultDirectory> result;
    std::string kind;  // "result", "project", "experiment" or "node"

    explicit Node(sptr_t<talvo2::INode> opened);
    talvo2::IResultDirectory& asResult() const;
};

// A section of a node's property bag.
struct Storage {
    sptr_t<propstore2::IPropertyStorage> storage;
};

// Null when `node` is; a Node otherwise.
std::optional<Node> wrap(sptr_t<talvo2::INode> node);

void bindNodes(py::module_& m);
void bindStorage(py::module_& m);

}  // namespace talvo_py
