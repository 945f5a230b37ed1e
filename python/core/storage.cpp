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

propstore2::IPropertyStorage& storageOf(const Storage& s) {
    if (!s.storage) fail(talvo2::NotFound, "the property section of " + s.owner.where());
    return *s.storage;
}

}  // namespace

corekit2::variant_t toVariant(const py::handle& value, const std::string& name) {
    if (py::isinstance<py::bool_>(value)) return corekit2::variant_t(value.cast<bool>());
    if (py::isinstance<py::int_>(value)) {
        // Negative numbers as signed, the rest as unsigned where only that fits.
        const long long low = PyLong_AsLongLong(value.ptr());
        if (!PyErr_Occurred()) return corekit2::variant_t(static_cast<int64_t>(low));
        PyErr_Clear();
        const unsigned long long high = PyLong_AsUnsignedLongLong(value.ptr());
        if (!PyErr_Occurred()) return corekit2::variant_t(static_cast<uint64_t>(high));
        PyErr_Clear();
        fail(talvo2::ParameterError, name + ": an integer value must fit in 64 bits");
    }
    if (py::isinstance<py::float_>(value)) return corekit2::variant_t(value.cast<double>());
    if (py::isinstance<py::str>(value)) return corekit2::variant_t(wide(value.cast<std::string>()));
    throw py::type_error(name + ": a value is a bool, an int, a float or a str");
}

void bindStorage(py::module_& m) {
    py::class_<Storage>(m, "Storage")
        .def("names",
             [](const Storage& s) {
                 std::vector<std::string> names;
                 const Access access(s.owner);
                 for (const std::wstring& name : storageOf(s).getNames())
                     names.push_back(utf8(name));
                 return names;
             })
        .def("get",
             [](const Storage& s, const std::string& name) -> py::object {
                 const std::wstring key = wide(name);
                 corekit2::variant_t value;
                 bool found = false;
                 {
                     const Access access(s.owner);
                     found = storageOf(s).getValue(key.c_str(), value);
                 }
                 if (!found) throw py::key_error(name);
                 return toPython(value);
             })
        .def("set",
             [](const Storage& s, const std::string& name, const py::handle& value) {
                 const std::wstring key = wide(name);
                 const corekit2::variant_t stored = toVariant(value, name);
                 const Access access(s.owner);
                 if (!storageOf(s).setValue(key.c_str(), stored))
                     fail(talvo2::OperationFailed, "property " + name + " of " + s.owner.where());
             })
        .def("remove",
             [](const Storage& s, const std::string& name) {
                 const std::wstring key = wide(name);
                 bool removed = false;
                 {
                     const Access access(s.owner);
                     removed = storageOf(s).removeValue(key.c_str());
                 }
                 if (!removed) throw py::key_error(name);
             })
        .def(
            "section",
            [](const Storage& s, const std::string& name, bool create) -> std::optional<Storage> {
                const std::wstring key = wide(name);
                const Access access(s.owner);
                sptr_t<propstore2::IPropertyStorage> section =
                    storageOf(s).getSection(key.c_str(), create);
                if (!section) return std::nullopt;
                return Storage{section, s.owner};
            },
            py::arg("name"), py::arg("create") = false);
}

}  // namespace talvo_py
