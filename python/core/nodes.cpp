// Nodes as handles: their facts, metadata, members, flags and transfers.

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "binding.hpp"
#include "notify2/ambient_progress.hpp"

namespace talvo_py {

namespace {

using talvo2::INode;
using talvo2::IResultDirectory;

std::string kindOf(const sptr_t<INode>& node) {
    if (IResultDirectory::cast(node)) return "result";
    if (talvo2::IProject::cast(node)) return "project";
    if (talvo2::IExperiment::cast(node)) return "experiment";
    return "node";
}

// Progress of a copy, move or export handed to a Python callable. The callable runs with the
// interpreter lock taken again; returning False, or raising (Ctrl-C included, which is looked
// for at every step even without a callable), asks the operation to stop, and what was raised is
// raised again once the operation has cleaned up.
class CallbackProgress final : public notify2::IProgress {
public:
    explicit CallbackProgress(py::object callback) : m_callback(std::move(callback)) {}
    ~CallbackProgress() = default;

    void begin(const wchar_t*, double total) override {
        m_total = total;
        report();
    }
    void advance(double amount) override {
        m_done += amount;
        report();
    }
    void setItem(const wchar_t* text) override { m_item = utf8(text); }
    void end() override {}
    bool isCanceled() override { return m_canceled; }

    bool canceled() const { return m_canceled; }
    // Raises what the callable raised, if it did. Call with the lock held.
    void raisePending() {
        if (m_raised) {
            std::optional<py::error_already_set> raised;
            raised.swap(m_raised);
            throw *raised;
        }
    }
    // Drops the callable's reference while the lock is held.
    void release() {
        m_callback = py::object();
        m_raised.reset();
    }

private:
    void report() {
        if (m_canceled) return;
        py::gil_scoped_acquire locked;
        try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!m_callback.is_none()) {
                const py::object answer = m_callback(m_done, m_total, m_item);
                if (answer.ptr() == Py_False) m_canceled = true;
            }
        } catch (py::error_already_set& raised) {
            m_raised.emplace(std::move(raised));
            m_canceled = true;
        }
    }

    py::object m_callback;
    double m_total = 0;
    double m_done = 0;
    std::string m_item;
    bool m_canceled = false;
    std::optional<py::error_already_set> m_raised;
};

// Runs a transfer with `callback` as its progress: true when it completed, false when the
// callable stopped it before it did; raises what the callable raised, or the library's failure.
template <class Transfer>
bool transfer(const py::object& callback, const std::string& what, Transfer run) {
    CallbackProgress progress(callback);
    bool done = false;
    {
        py::gil_scoped_release unlocked;
        done = run(&progress);
    }
    progress.raisePending();
    const bool canceled = progress.canceled();
    progress.release();
    // A transfer that had no step left to stop at (a move within one file system is a rename)
    // completes even when asked to stop.
    if (!done && canceled) return false;
    if (!done) failLast(what);
    return true;
}

std::optional<std::string> text(const wchar_t* value) {
    if (!value) return std::nullopt;
    return utf8(value);
}

void check(bool done, const std::string& what) {
    if (!done) failLast(what);
}

py::object holderTuple(const std::optional<talvo_front::FlagHolder>& holder) {
    if (!holder) return py::none();
    return py::make_tuple(holder->user, holder->host, holder->pid, holder->since);
}

std::string flagStateName(talvo_front::FlagState state) {
    switch (state) {
        case talvo_front::FlagState::OwnedHere:
            return "owned";
        case talvo_front::FlagState::Held:
            return "held";
        case talvo_front::FlagState::Leftover:
            return "leftover";
        case talvo_front::FlagState::Unknown:
            return "unknown";
        case talvo_front::FlagState::NotHeld:
            break;
    }
    return "free";
}

}  // namespace

Node::Node(sptr_t<INode> opened)
    : node(std::move(opened)), result(IResultDirectory::cast(node)), kind(kindOf(node)) {}

IResultDirectory& Node::asResult() const {
    if (!result) fail(talvo2::ParameterError, utf8(node->getPath()) + " is not a result");
    return *result;
}

std::optional<Node> wrap(sptr_t<INode> node) {
    if (!node) return std::nullopt;
    return Node(std::move(node));
}

void bindNodes(py::module_& m) {
    using release = py::call_guard<py::gil_scoped_release>;
    py::class_<Node> node(m, "Node");
    node.def_readonly("kind", &Node::kind)
        .def_property_readonly("path", [](const Node& n) { return utf8(n.node->getPath()); })
        .def_property_readonly("marker",
                               [](const Node& n) { return utf8(n.node->getMarkerFilePath()); })
        .def_property_readonly("name",
                               [](const Node& n) { return utf8(n.node->getUserVisibleName()); })
        .def("rename",
             [](Node& n, const std::string& name) {
                 check(n.node->changeUserVisibleName(wide(name).c_str()), "rename to " + name);
             })
        .def(
            "parent", [](const Node& n) { return wrap(n.node->getParent()); }, release())
        .def(
            "created", [](const Node& n) { return n.node->getCreationTime(); }, release())
        .def(
            "size", [](const Node& n) { return n.node->getSize(); }, release())
        .def(
            "files", [](const Node& n) { return n.node->getFilesCount(); }, release())
        .def(
            "linked", [](const Node& n) { return n.node->isLinked(); }, release())
        .def(
            "link_stale", [](const Node& n) { return n.node->isLinkStale(); }, release())
        .def(
            "modified", [](const Node& n) { return n.node->isModified(); }, release())
        .def("save",
             [](const Node& n) {
                 py::gil_scoped_release unlocked;
                 check(n.node->save(), "save " + utf8(n.node->getPath()));
             })
        .def("remove",
             [](const Node& n) {
                 py::gil_scoped_release unlocked;
                 check(n.node->remove(), "remove " + utf8(n.node->getPath()));
             })
        .def("properties", [](const Node& n) { return Storage{n.node->getPropertyStorage()}; });

    // Members of a project or experiment.
    node.def("member_paths",
             [](const Node& n) {
                 py::gil_scoped_release unlocked;
                 std::vector<std::string> paths;
                 const sptr_t<talvo2::INodeGroup> group = n.node->getNodeGroup();
                 if (!group) return paths;
                 const sptr_t<talvo2::IPathIterator> members = group->getMemberPaths();
                 if (!members) failLast("members of " + utf8(n.node->getPath()));
                 paths.reserve(members->getCount());
                 while (const wchar_t* path = members->next()) paths.push_back(utf8(path));
                 return paths;
             })
        .def(
            "open_member",
            [](const Node& n, const std::string& path) {
                py::gil_scoped_release unlocked;
                const sptr_t<talvo2::INodeGroup> group = n.node->getNodeGroup();
                if (!group) fail(talvo2::NotImplemented, utf8(n.node->getPath()));
                const sptr_t<INode> member = group->openNode(wide(path).c_str());
                if (!member) failLast(path);
                return Node(member);
            },
            py::arg("path"));

    // Flags.
    node.def(
            "take_flag",
            [](const Node& n, const std::string& name, bool replace, bool takeOver) {
                py::gil_scoped_release unlocked;
                sptr_t<talvo2::IFlagData> data;
                const talvo2::error_t taken =
                    talvo_front::takeFlag(*n.node, name, replace, takeOver, data);
                if (taken == talvo2::OK) return;
                std::optional<talvo_front::FlagHolder> holder =
                    talvo_front::holderOf(data, *n.node, name);
                const bool held = taken == talvo2::FlagOwnedElsewhere ||
                                  taken == talvo2::FileLocked || taken == talvo2::AlreadyExists;
                throw Failure(held ? talvo2::FlagOwnedElsewhere : taken,
                              "flag " + name + ": " +
                                  (held ? "held by " + talvo_front::holderName(holder)
                                        : utf8(talvo2::toString(taken))),
                              std::move(holder));
            },
            py::arg("name"), py::arg("replace"), py::arg("take_over"))
        .def(
            "release_flag",
            [](const Node& n, const std::string& name, bool force) {
                py::gil_scoped_release unlocked;
                const talvo2::error_t removed = n.node->removeFlag(wide(name).c_str(), force);
                if (removed != talvo2::OK) fail(removed, "flag " + name);
            },
            py::arg("name"), py::arg("force"))
        .def(
            "flag_status",
            [](const Node& n, const std::string& name) {
                talvo_front::FlagStatus status;
                {
                    py::gil_scoped_release unlocked;
                    status = talvo_front::flagStatus(*n.node, name);
                }
                if (status.error != talvo2::OK) fail(status.error, "flag " + name);
                return py::make_tuple(flagStateName(status.state), holderTuple(status.holder));
            },
            py::arg("name"))
        .def(
            "flag_names", [](const Node& n) { return talvo_front::flagNames(*n.node); }, release());

    // Transfers.
    node.def(
            "copy",
            [](const Node& n, const std::string& to, bool renameMarker, const py::object& cb) {
                const std::wstring where = wide(to);
                return transfer(cb, "copy to " + to, [&](notify2::IProgress* progress) {
                    return n.node->copy(where.c_str(), renameMarker, progress);
                });
            },
            py::arg("destination"), py::arg("rename_marker"), py::arg("progress"))
        .def(
            "move",
            [](const Node& n, const std::string& to, bool renameMarker, const py::object& cb) {
                const std::wstring where = wide(to);
                return transfer(cb, "move to " + to, [&](notify2::IProgress* progress) {
                    return n.node->move(where.c_str(), renameMarker, progress);
                });
            },
            py::arg("destination"), py::arg("rename_marker"), py::arg("progress"))
        .def(
            "export",
            [](const Node& n, const std::string& to, const std::optional<std::string>& excludes,
               const py::object& cb) {
                const std::wstring where = wide(to);
                const std::wstring skip = excludes ? wide(*excludes) : std::wstring();
                sptr_t<IResultDirectory> exported;
                const bool done =
                    transfer(cb, "export to " + to, [&](notify2::IProgress* progress) {
                        const notify2::ProgressScope scope(progress);
                        exported =
                            n.asResult().exportTo(where.c_str(), excludes ? skip.c_str() : nullptr);
                        return static_cast<bool>(exported);
                    });
                return done ? wrap(exported) : std::nullopt;
            },
            py::arg("destination"), py::arg("excludes"), py::arg("progress"));

    // Results' state and metadata.
    node.def(
            "finalized", [](const Node& n) { return n.asResult().isFinalized(); }, release())
        .def("set_finalized",
             [](const Node& n, bool finalized) {
                 py::gil_scoped_release unlocked;
                 check(n.asResult().setFinalized(finalized), "finalize");
             })
        .def(
            "valid", [](const Node& n) { return n.asResult().isValid(); }, release())
        .def(
            "set_invalid", [](const Node& n) { n.asResult().setInvalid(); }, release())
        .def("host", [](const Node& n) { return utf8(n.asResult().getCreationHostName()); })
        .def("os", [](const Node& n) { return utf8(n.asResult().getCreationOs(false)); })
        .def("mpi_rank", [](const Node& n) { return n.asResult().getMpiRank(); })
        .def("command", [](const Node& n) { return text(n.asResult().getCollectorCommand()); })
        .def("set_command",
             [](const Node& n, const std::string& command) {
                 n.asResult().setCollectorCommand(wide(command).c_str());
             })
        .def("times",
             [](const Node& n) {
                 const IResultDirectory& r = n.asResult();
                 return py::make_tuple(r.getCollectionTimeBegin(), r.getCollectionTimeEnd(),
                                       r.getFinalizationTimeBegin(), r.getFinalizationTimeEnd());
             })
        .def("set_times",
             [](const Node& n, long long b, long long e, long long fb, long long fe) {
                 IResultDirectory& r = n.asResult();
                 r.setCollectionTimeBegin(b);
                 r.setCollectionTimeEnd(e);
                 r.setFinalizationTimeBegin(fb);
                 r.setFinalizationTimeEnd(fe);
             })
        .def("cpu", [](const Node& n) {
            const IResultDirectory& r = n.asResult();
            return py::make_tuple(utf8(r.getCPUBrandName()), r.getCPUFamily(), r.getCPUModel(),
                                  r.getCPUStepping(), static_cast<int>(r.getCPUName()),
                                  r.getCPUFrequency(), r.getLogicalCPUCount(),
                                  r.getProcessorCoreCount(), r.getProcessorPackageCount());
        });
}

}  // namespace talvo_py
