// Module entry: failures, opening and creating nodes, comparisons and this machine's facts.

#include <pybind11/stl.h>

#include "binding.hpp"
#include "error_text.hpp"
#include "newest.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo_py {

namespace {

using talvo2::ResultDirectoryManager;

std::optional<std::wstring> maybeWide(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return wide(*text);
}

const wchar_t* cstr(const std::optional<std::wstring>& text) {
    return text ? text->c_str() : nullptr;
}

corekit2::variant_bag_t toBag(const py::dict& variables) {
    corekit2::variant_bag_t bag;
    for (const auto& item : variables) {
        const std::string key = py::str(item.first).cast<std::string>();
        bag.put(wide(key), toVariant(item.second, "variable " + key));
    }
    return bag;
}

// The opened node, or the library's reason as a Failure naming `path`.
Node opened(sptr_t<talvo2::INode> node, const std::string& what) {
    if (!node) failLast(what);
    return Node(std::move(node));
}

Node createResult(const std::string& path, const std::optional<py::dict>& variables,
                  const std::optional<std::string>& base, bool overwrite, bool literal) {
    const corekit2::variant_bag_t bag = variables ? toBag(*variables) : corekit2::variant_bag_t();
    const std::wstring where = wide(path);
    const std::optional<std::wstring> from = maybeWide(base);
    const Released unlocked;
    return opened(ResultDirectoryManager::create(where.c_str(), overwrite,
                                                 variables ? &bag : nullptr, literal, cstr(from)),
                  path);
}

Node openResult(const std::string& path, const std::optional<std::string>& base, bool literal) {
    const std::wstring where = wide(path);
    const std::optional<std::wstring> from = maybeWide(base);
    const Released unlocked;
    // A pattern opens its newest match by number, as everywhere a front end chooses.
    if (!literal && !talvo_front::existsOnDisk(path)) {
        const std::string newest = talvo_front::newestMatch(path, "result");
        if (!newest.empty())
            return opened(ResultDirectoryManager::open(wide(newest).c_str(), true, cstr(from)),
                          newest);
    }
    return opened(ResultDirectoryManager::open(where.c_str(), literal, cstr(from)), path);
}

Node getResult(const std::string& path, const std::optional<py::dict>& variables, bool literal) {
    const corekit2::variant_bag_t bag = variables ? toBag(*variables) : corekit2::variant_bag_t();
    const std::wstring where = wide(path);
    const Released unlocked;
    // Getting a result where a project or experiment is would make its folder a result too.
    const std::string kind = talvo_front::nodeKindAt(path);
    if (kind == "project" || kind == "experiment")
        fail(talvo2::AlreadyExists,
             path + " is " + (kind == "project" ? "a project" : "an experiment"));
    return opened(ResultDirectoryManager::get(where.c_str(), variables ? &bag : nullptr, literal),
                  path);
}

Node openAny(const std::string& path) {
    wide(path);
    const Released unlocked;
    return opened(talvo_front::openAnyKind(path, true), path);
}

std::pair<Node, Node> diff(const std::string& first, const std::optional<std::string>& second) {
    wide(first);
    if (second) wide(*second);
    const Released unlocked;
    bool literal = false;
    std::size_t matched = 0;
    const auto paths = talvo_front::comparedPaths(first, second ? *second : "", literal, matched);
    if (!paths)
        fail(talvo2::NotFound,
             first + ": " + std::to_string(matched) + " result(s) match; a comparison needs two");
    const auto& [left, right] = *paths;
    sptr_t<talvo2::IResultDirectory> a;
    sptr_t<talvo2::IResultDirectory> b;
    // The chosen paths are taken as they stand, patterns or not.
    if (!ResultDirectoryManager::openForDiff(wide(left).c_str(), wide(right).c_str(), &a, &b, true))
        failLast(left + " and " + right);
    if (!a || !b) fail(talvo2::NotFound, left + " and " + right);
    return {Node(a), Node(b)};
}

std::vector<std::string> newestMatches(const std::string& pattern, std::size_t count,
                                       const std::string& kind) {
    wide(pattern);
    const Released unlocked;
    return talvo_front::newestMatches(pattern, count, kind);
}

py::dict systemInfo() {
    const talvo2::SystemInfo info;
    const auto isa = [](talvo2::SystemInfo::IsaExtensions value) {
        const char* text = talvo2::SystemInfo::getIsaAbbreviation(value);
        return std::string(text ? text : "");
    };
    py::dict facts;
    facts["brand"] = utf8(info.cpuBrand());
    facts["family"] = info.cpuFamily();
    facts["model"] = info.cpuModel();
    facts["stepping"] = info.cpuStepping();
    facts["type"] = static_cast<int>(info.cpuType());
    facts["frequency_hz"] = info.cpuFrequency();
    facts["logical_cpus"] = info.cpuCount();
    facts["cores"] = info.processorCoreCount();
    facts["packages"] = info.processorPackageCount();
    facts["isa"] = py::make_tuple(isa(info.mmxMax()), isa(info.sseMax()), isa(info.avxMax()));
    facts["max_vector_bits"] = info.getMaxVectorLength();
    facts["mpi_rank"] = ResultDirectoryManager::getCurrentMpiRank();
    return facts;
}

// Defines `name(path, base)`, which makes or opens a group node with `make`.
template <class Make>
void defineMaker(py::module_& m, const char* name, Make make) {
    m.def(
        name,
        [make](const std::string& path, const std::optional<std::string>& base) {
            const std::wstring where = wide(path);
            const std::optional<std::wstring> from = maybeWide(base);
            const Released unlocked;
            return opened(make(where.c_str(), cstr(from)), path);
        },
        py::arg("path"), py::arg("base"));
}

}  // namespace

std::string utf8(const wchar_t* text) {
    return text ? ulib_2_18::to_utf8(text) : std::string();
}
std::string utf8(const std::wstring& text) {
    return ulib_2_18::to_utf8(text);
}
std::wstring wide(const std::string& text) {
    if (text.find('\0') != std::string::npos)
        throw Failure(talvo2::InvalidPath, "a name or path may not hold a NUL character");
    return ulib_2_18::from_utf8(text);
}

void fail(talvo2::error_t code, const std::string& what) {
    throw Failure(code, what + ": " + talvo_front::errorMessage(code));
}

void failLast(const std::string& what) {
    const talvo2::error_t code = ResultDirectoryManager::getLastError();
    fail(code == talvo2::OK ? talvo2::OperationFailed : code, what);
}

}  // namespace talvo_py

PYBIND11_MODULE(_core, m) {
    using namespace talvo_py;
    m.doc() = "The native half of talvo2: use the talvo2 package, not this module.";

    // Failures become the package's exceptions, chosen by error code in Python.
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const Failure& failure) {
            py::gil_scoped_acquire locked;
            py::object holder = py::none();
            if (failure.holder) {
                const talvo_front::FlagHolder& h = *failure.holder;
                holder = py::make_tuple(h.user, h.host, h.pid, h.since);
            }
            const py::object make = py::module_::import("talvo2._errors").attr("_from_core");
            const py::object error = make(static_cast<int>(failure.code), failure.what(), holder);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        }
    });

    bindStorage(m);
    bindNodes(m);

    m.def("create_result", &createResult, py::arg("path"), py::arg("variables"), py::arg("base"),
          py::arg("overwrite"), py::arg("literal"));
    m.def("open_result", &openResult, py::arg("path"), py::arg("base"), py::arg("literal"));
    m.def("get_result", &getResult, py::arg("path"), py::arg("variables"), py::arg("literal"));
    m.def("open_any", &openAny, py::arg("path"));
    defineMaker(m, "create_project", [](const wchar_t* path, const wchar_t* base) {
        return sptr_t<talvo2::INode>(talvo2::IProject::create(path, base, false));
    });
    defineMaker(m, "open_project", [](const wchar_t* path, const wchar_t* base) {
        return sptr_t<talvo2::INode>(talvo2::IProject::open(path, base));
    });
    defineMaker(m, "create_experiment", [](const wchar_t* path, const wchar_t* base) {
        return sptr_t<talvo2::INode>(talvo2::IExperiment::create(path, base));
    });
    defineMaker(m, "open_experiment", [](const wchar_t* path, const wchar_t* base) {
        return sptr_t<talvo2::INode>(talvo2::IExperiment::open(path, base));
    });
    m.def("diff", &diff, py::arg("first"), py::arg("second"));
    m.def("newest_matches", &newestMatches, py::arg("pattern"), py::arg("count"), py::arg("kind"));
    m.def("system_info", &systemInfo);
}
