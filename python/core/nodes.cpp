// Nodes as handles: their facts, metadata, members, flags and transfers.

#include <pybind11/stl.h>
#include <pythread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "binding.hpp"
#include "newest.hpp"
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

// The mutex every handle of `node` shares, for as long as one of them lives.
std::shared_ptr<std::recursive_mutex> mutexOf(INode* node) {
    static std::mutex guard;
    static std::map<INode*, std::weak_ptr<std::recursive_mutex>> mutexes;
    const std::lock_guard<std::mutex> lock(guard);
    std::weak_ptr<std::recursive_mutex>& slot = mutexes[node];
    std::shared_ptr<std::recursive_mutex> mutex = slot.lock();
    if (!mutex) {
        for (auto it = mutexes.begin(); it != mutexes.end();)
            it = it->second.expired() && it->first != node ? mutexes.erase(it) : std::next(it);
        mutex = std::make_shared<std::recursive_mutex>();
        slot = mutex;
    }
    return mutex;
}

// The nodes transfers of this thread are moving.
thread_local std::vector<INode*> t_transferring;

// Set by an exit handler, before the interpreter shuts down: from then on a thread other than
// the main one that asks for the interpreter lock may be ended inside the library, which cannot
// unwind through it. The main thread runs the shutdown and keeps its lock.
std::atomic<bool> g_exiting{false};
unsigned long g_mainThread = 0;

bool mainThread() {
    return PyThread_get_thread_ident() == g_mainThread;
}

}  // namespace

bool interpreterExiting() {
    if (mainThread()) return false;
    if (g_exiting.load()) return true;
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

Released::~Released() {
    while (interpreterExiting()) std::this_thread::sleep_for(std::chrono::hours(1));
    PyEval_RestoreThread(m_state);
}

namespace {

// Progress of a copy, move or export handed to a Python callable. The callable runs with the
// interpreter lock taken again; returning False, or raising (Ctrl-C included, which the main
// thread looks for at every step even without a callable), asks the operation to stop, and what
// was raised is raised again once the operation has ended. The interpreter is never asked for
// while it shuts down: a daemon thread's copy then just stops.
class CallbackProgress final : public notify2::IProgress {
public:
    explicit CallbackProgress(py::object callback)
        : m_callback(std::move(callback)), m_mainThread(mainThread()) {}
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
        const bool asking = !m_callback.is_none();
        if (!asking && !m_mainThread) return;  // only the main thread sees signals
        if (interpreterExiting()) {
            m_canceled = true;
            return;
        }
        py::gil_scoped_acquire locked;
        try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (asking) {
                const py::object answer = m_callback(m_done, m_total, m_item);
                if (answer.ptr() == Py_False) m_canceled = true;
            }
        } catch (py::error_already_set& raised) {
            m_raised.emplace(std::move(raised));
            m_canceled = true;
        }
    }

    py::object m_callback;
    bool m_mainThread;
    double m_total = 0;
    double m_done = 0;
    std::string m_item;
    bool m_canceled = false;
    std::optional<py::error_already_set> m_raised;
};

// Runs a transfer of `node` with `callback` as its progress: true when it completed, false when
// the callable stopped it before it did; raises what the callable raised, or the library's
// failure. A stop asked at the last step can come too late: the transfer then completes.
template <class Run>
bool transfer(const Node& node, const py::object& callback, const std::string& what, Run run) {
    CallbackProgress progress(callback);
    bool done = false;
    std::string failed;
    {
        const Access access(node);
        const Access::Transfer moving(node);
        done = run(&progress);
        if (!done && !progress.canceled()) failed = what + " (" + node.where() + ")";
    }
    progress.raisePending();
    const bool canceled = progress.canceled();
    progress.release();
    if (!done && canceled) return false;
    if (!done) failLast(failed);
    return true;
}

std::optional<std::string> text(const wchar_t* value) {
    if (!value) return std::nullopt;
    return utf8(value);
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

// A file name as Python sees names from the file system: bytes that are not UTF-8 become
// surrogates instead of an error.
py::str fileName(const std::string& name) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// Calls `get` on the node under Access and returns its value.
template <class Get>
auto read(const Node& n, Get get) {
    const Access access(n);
    return get(*n.node);
}

template <class Get>
auto readResult(const Node& n, Get get) {
    const Access access(n);
    return get(n.asResult());
}

void check(const Node& n, bool done, const std::string& what) {
    if (!done) failLast(what + " " + n.where());
}

}  // namespace

Node::Node(sptr_t<INode> opened)
    : node(std::move(opened)),
      result(IResultDirectory::cast(node)),
      kind(kindOf(node)),
      mutex(mutexOf(node.get())) {}

IResultDirectory& Node::asResult() const {
    if (!result) fail(talvo2::ParameterError, where() + " is not a result");
    return *result;
}

std::string Node::where() const {
    return utf8(node->getPath());
}

Access::Access(const Node& node) : m_node(node) {
    if (std::find(t_transferring.begin(), t_transferring.end(), node.node.get()) !=
        t_transferring.end())
        throw Failure(talvo2::FileLocked,
                      "a copy, move or export of this node is under way in this thread; its "
                      "progress callback may not use the node");
    m_released.emplace();
    m_node.mutex->lock();
}

Access::~Access() {
    m_node.mutex->unlock();
    m_released.reset();
}

Access::Transfer::Transfer(const Node& node) {
    t_transferring.push_back(node.node.get());
}

Access::Transfer::~Transfer() {
    t_transferring.pop_back();
}

std::optional<Node> wrap(sptr_t<INode> node) {
    if (!node) return std::nullopt;
    return Node(std::move(node));
}

void bindNodes(py::module_& m) {
    g_mainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    py::module_::import("atexit").attr("register")(py::cpp_function([] { g_exiting.store(true); }));
    py::class_<Node> node(m, "Node");
    node.def_readonly("kind", &Node::kind)
        .def_property_readonly(
            "path", [](const Node& n) { return read(n, [&](INode&) { return n.where(); }); })
        .def_property_readonly("marker",
                               [](const Node& n) {
                                   return read(
                                       n, [](INode& i) { return utf8(i.getMarkerFilePath()); });
                               })
        .def_property_readonly("name",
                               [](const Node& n) {
                                   return read(
                                       n, [](INode& i) { return utf8(i.getUserVisibleName()); });
                               })
        .def("rename",
             [](const Node& n, const std::string& name) {
                 const std::wstring given = wide(name);
                 const Access access(n);
                 check(n, n.node->changeUserVisibleName(given.c_str()), "rename to " + name + ":");
             })
        .def("parent",
             [](const Node& n) { return read(n, [](INode& i) { return wrap(i.getParent()); }); })
        .def("created",
             [](const Node& n) { return read(n, [](INode& i) { return i.getCreationTime(); }); })
        .def("size", [](const Node& n) { return read(n, [](INode& i) { return i.getSize(); }); })
        .def("files",
             [](const Node& n) { return read(n, [](INode& i) { return i.getFilesCount(); }); })
        .def("linked", [](const Node& n) { return read(n, [](INode& i) { return i.isLinked(); }); })
        .def("link_stale",
             [](const Node& n) { return read(n, [](INode& i) { return i.isLinkStale(); }); })
        .def("save",
             [](const Node& n) {
                 const Access access(n);
                 check(n, n.node->save(), "save");
             })
        .def("remove",
             [](const Node& n) {
                 const Access access(n);
                 check(n, n.node->remove(), "remove");
             })
        .def("properties", [](const Node& n) {
            return Storage{read(n, [](INode& i) { return i.getPropertyStorage(); }), n};
        });

    // Members of a project or experiment.
    node.def("member_paths",
             [](const Node& n) {
                 const Access access(n);
                 std::vector<std::string> paths;
                 const sptr_t<talvo2::INodeGroup> group = n.node->getNodeGroup();
                 if (!group) return paths;
                 const sptr_t<talvo2::IPathIterator> members = group->getMemberPaths();
                 if (!members) failLast("members of " + n.where());
                 paths.reserve(members->getCount());
                 while (const wchar_t* path = members->next()) paths.push_back(utf8(path));
                 return paths;
             })
        .def(
            "open_member",
            [](const Node& n, const std::string& path) {
                const std::wstring member = wide(path);
                const Access access(n);
                const sptr_t<talvo2::INodeGroup> group = n.node->getNodeGroup();
                if (!group) fail(talvo2::NotImplemented, n.where() + " has no members");
                const sptr_t<INode> opened = group->openNode(member.c_str());
                if (!opened) failLast(path);
                return Node(opened);
            },
            py::arg("path"));

    // Flags.
    node.def(
            "take_flag",
            [](const Node& n, const std::string& name, bool replace, bool takeOver) {
                wide(name);
                const Access access(n);
                sptr_t<talvo2::IFlagData> data;
                const talvo2::error_t taken =
                    talvo_front::takeFlag(*n.node, name, replace, takeOver, data);
                if (taken == talvo2::OK) return;
                if (taken == talvo2::AlreadyExists &&
                    n.node->ownFlag(wide(name).c_str()) == talvo2::OK)
                    throw Failure(talvo2::AlreadyExists, "flag " + name + " on " + n.where() +
                                                             ": this process holds it already");
                if (!talvo_front::heldElsewhere(taken))
                    fail(taken, "flag " + name + " on " + n.where());
                std::optional<talvo_front::FlagHolder> holder =
                    talvo_front::holderOf(data, *n.node, name);
                const std::string message = "flag " + name + " on " + n.where() + ": held by " +
                                            talvo_front::holderName(holder);
                throw Failure(talvo2::FlagOwnedElsewhere, message, std::move(holder));
            },
            py::arg("name"), py::arg("replace"), py::arg("take_over"))
        .def(
            "release_flag",
            [](const Node& n, const std::string& name, bool force) {
                const std::wstring flag = wide(name);
                const Access access(n);
                const talvo2::error_t removed = n.node->removeFlag(flag.c_str(), force);
                if (removed != talvo2::OK) fail(removed, "flag " + name + " on " + n.where());
            },
            py::arg("name"), py::arg("force"))
        .def(
            "flag_status",
            [](const Node& n, const std::string& name) {
                wide(name);
                talvo_front::FlagStatus status;
                {
                    const Access access(n);
                    status = talvo_front::flagStatus(*n.node, name);
                    if (status.error != talvo2::OK)
                        fail(status.error, "flag " + name + " on " + n.where());
                }
                return py::make_tuple(flagStateName(status.state), holderTuple(status.holder));
            },
            py::arg("name"))
        .def("flag_names", [](const Node& n) {
            const std::vector<std::string> names =
                read(n, [](INode& i) { return talvo_front::flagNames(i); });
            py::list listed;
            for (const std::string& name : names) listed.append(fileName(name));
            return listed;
        });

    // Transfers.
    node.def(
            "copy",
            [](const Node& n, const std::string& to, bool renameMarker, const py::object& cb) {
                const std::wstring where = wide(to);
                return transfer(n, cb, "copy to " + to, [&](notify2::IProgress* progress) {
                    return n.node->copy(where.c_str(), renameMarker, progress);
                });
            },
            py::arg("destination"), py::arg("rename_marker"), py::arg("progress"))
        .def(
            "move",
            [](const Node& n, const std::string& to, bool renameMarker, const py::object& cb) {
                const std::wstring where = wide(to);
                return transfer(n, cb, "move to " + to, [&](notify2::IProgress* progress) {
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
                    transfer(n, cb, "export to " + to, [&](notify2::IProgress* progress) {
                        const notify2::ProgressScope scope(progress);
                        exported =
                            n.asResult().exportTo(where.c_str(), excludes ? skip.c_str() : nullptr);
                        return static_cast<bool>(exported);
                    });
                return done ? wrap(exported) : std::nullopt;
            },
            py::arg("destination"), py::arg("excludes"), py::arg("progress"));

    // Results' state and metadata.
    node.def("finalized",
             [](const Node& n) {
                 return readResult(n, [](IResultDirectory& r) { return r.isFinalized(); });
             })
        .def("set_finalized",
             [](const Node& n, bool finalized) {
                 const Access access(n);
                 check(n, n.asResult().setFinalized(finalized), "finalize");
             })
        .def("valid",
             [](const Node& n) {
                 return readResult(n, [](IResultDirectory& r) { return r.isValid(); });
             })
        .def("set_invalid",
             [](const Node& n) {
                 const Access access(n);
                 if (!talvo_front::existsOnDisk(n.where()))
                     fail(talvo2::NotFound, "invalidate " + n.where());
                 n.asResult().setInvalid();
             })
        .def("host",
             [](const Node& n) {
                 return readResult(
                     n, [](IResultDirectory& r) { return utf8(r.getCreationHostName()); });
             })
        .def("os",
             [](const Node& n) {
                 return readResult(
                     n, [](IResultDirectory& r) { return utf8(r.getCreationOs(false)); });
             })
        .def("mpi_rank",
             [](const Node& n) {
                 return readResult(n, [](IResultDirectory& r) { return r.getMpiRank(); });
             })
        .def("command",
             [](const Node& n) {
                 return readResult(
                     n, [](IResultDirectory& r) { return text(r.getCollectorCommand()); });
             })
        .def("set_command",
             [](const Node& n, const std::string& command) {
                 const std::wstring given = wide(command);
                 readResult(n, [&](IResultDirectory& r) { r.setCollectorCommand(given.c_str()); });
             })
        .def("times",
             [](const Node& n) {
                 return readResult(n, [](IResultDirectory& r) {
                     return std::make_tuple(r.getCollectionTimeBegin(), r.getCollectionTimeEnd(),
                                            r.getFinalizationTimeBegin(),
                                            r.getFinalizationTimeEnd());
                 });
             })
        .def("set_times",
             [](const Node& n, long long b, long long e, long long fb, long long fe) {
                 readResult(n, [&](IResultDirectory& r) {
                     r.setCollectionTimeBegin(b);
                     r.setCollectionTimeEnd(e);
                     r.setFinalizationTimeBegin(fb);
                     r.setFinalizationTimeEnd(fe);
                 });
             })
        .def("cpu", [](const Node& n) {
            return readResult(n, [](IResultDirectory& r) {
                return std::make_tuple(utf8(r.getCPUBrandName()), r.getCPUFamily(), r.getCPUModel(),
                                       r.getCPUStepping(), static_cast<int>(r.getCPUName()),
                                       r.getCPUFrequency(), r.getLogicalCPUCount(),
                                       r.getProcessorCoreCount(), r.getProcessorPackageCount());
            });
        });
}

}  // namespace talvo_py
