// A node's property bag, section by section.

#include <pybind11/stl.h>

#include "binding.hpp"

namespace talvo_py {

namespace {

py::object toPython(const corekit2::variant_t& value) {
    switch (value.type()) {
        case corekit2::VT_INT32:
            return py::int_(value.get_int32());
        case corekit2::VT_UINT32:
            return py::int_(value.get_uint32());
        case corekit2::VT_INT64:
            return py::int_(value.get_int64());
        case corekit2::VT_UINT64:
            return py::int_(value.get_uint64());
        case corekit2::VT_DOUBLE:
            return py::float_(value.get_double());
        case corekit2::VT_BOOL:
            return py::bool_(value.get_bool());
        case corekit2::VT_WSTRING:
            return py::str(utf8(value.get_wstring()));
        case corekit2::VT_EMPTY:
            break;
    }
    return py::none();
}

corekit2::variant_t fromPython(const py::handle& value) {
    if (py::isinstance<py::bool_>(value)) return corekit2::variant_t(value.cast<bool>());
    if (py::isinstance<py::int_>(value)) return corekit2::variant_t(value.cast<int64_t>());
    if (py::isinstance<py::float_>(value)) return corekit2::variant_t(value.cast<double>());
    if (py::isinstance<py::str>(value)) return corekit2::variant_t(wide(value.cast<std::string>()));
    throw py::type_error("a property is a bool, an int, a float or a str");
}

propstore2::IPropertyStorage& storageOf(const Storage& s) {
    if (!s.storage) fail(talvo2::NotFound, "property section");
    return *s.storage;
}

}  // namespace

void bindStorage(py::module_& m) {
    py::class_<Storage>(m, "Storage")
        .def("names",
             [](const Storage& s) {
                 std::vector<std::string> names;
                 for (const std::wstring& name : storageOf(s).getNames())
                     names.push_back(utf8(name));
                 return names;
             })
        .def("get",
             [](const Storage& s, const std::string& name) -> py::object {
                 corekit2::variant_t value;
                 if (!storageOf(s).getValue(wide(name).c_str(), value)) throw py::key_error(name);
                 return toPython(value);
             })
        .def("set",
             [](const Storage& s, const std::string& name, const py::handle& value) {
                 if (!storageOf(s).setValue(wide(name).c_str(), fromPython(value)))
                     fail(talvo2::OperationFailed, "property " + name);
             })
        .def("remove",
             [](const Storage& s, const std::string& name) {
                 if (!storageOf(s).removeValue(wide(name).c_str())) throw py::key_error(name);
             })
        .def(
            "section",
            [](const Storage& s, const std::string& name, bool create) -> std::optional<Storage> {
                sptr_t<propstore2::IPropertyStorage> section =
                    storageOf(s).getSection(wide(name).c_str(), create);
                if (!section) return std::nullopt;
                return Storage{section};
            },
            py::arg("name"), py::arg("create") = false);
}

}  // namespace talvo_py
