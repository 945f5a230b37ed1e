#include "flag_holder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <pugixml.hpp>

#include "ulib_2_18/text.hpp"

namespace talvo_front {

namespace {

namespace fs = boost::filesystem;

std::string utf8(const wchar_t* text) {
    return text ? ulib_2_18::to_utf8(text) : std::string();
}

// The holder's pid from its owner record beside the lock file. The record is someone else's
// file: read without following links, at most 64 KiB, parsed as XML (text in comments or
// elsewhere is not a value), and only a plain decimal process id of the top level taken.
long long holderPid(talvo2::INode& node, const std::string& name) {
    const fs::path record = flagFile(node, name, utf8(talvo2::getFlagInfoExtension()));
    if (record.empty()) return 0;
    const int fd = ::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    std::string text(65536, '\0');
    const ssize_t got = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    pugi::xml_document document;
    if (!document.load_buffer(text.data(), text.size(), pugi::parse_default)) return 0;
    const pugi::xml_node pid =
        document.child("variant_bag").find_child_by_attribute("value", "key", "pid");
    const std::string digits = pid.attribute("data").as_string();
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoll(digits);
}

}  // namespace

fs::path flagFile(talvo2::INode& node, const std::string& name, const std::string& kind) {
    // Named exactly: a neighbour's file that only begins like it is not the flag's.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return {};
    const fs::path file = fs::path(utf8(node.getPath())) / (name + kind);
    boost::system::error_code error;
    return fs::exists(fs::symlink_status(file, error)) ? file : fs::path();
}

std::optional<FlagHolder> holderOf(const corekit2::sptr_t<talvo2::IFlagData>& data,
                                   talvo2::INode& node, const std::string& name) {
    if (!data || (data->getTimestamp() == 0 && utf8(data->getHost()).empty())) return std::nullopt;
    return FlagHolder{utf8(data->getUser()), utf8(data->getHost()), holderPid(node, name),
                      data->getTimestamp()};
}

FlagStatus flagStatus(talvo2::INode& node, const std::string& name) {
    const std::wstring wide = ulib_2_18::from_utf8(name);
    const talvo2::error_t owned = node.ownFlag(wide.c_str());
    FlagStatus status;
    if (owned == talvo2::OK) {
        status.state = FlagState::OwnedHere;
    } else if (owned == talvo2::FlagOwnedElsewhere) {
        // Asking for the flag without replacing or taking over fails and names the holder.
        corekit2::sptr_t<talvo2::IFlagData> data;
        if (node.addFlag(wide.c_str(), data, false, false) == talvo2::OK) {
            node.removeFlag(wide.c_str(), false);  // freed in between: give it back
        } else {
            status.state = FlagState::Held;
            status.holder = holderOf(data, node, name);
        }
    } else if (owned == talvo2::RecordFormatError) {
        // A lock file without a readable record: a holder that died before writing it, or a
        // damaged one. Not "not held": taking it needs a take-over.
        status.state = FlagState::Unknown;
    } else if (owned == talvo2::NotFound) {
        if (!flagFile(node, name, utf8(talvo2::getFlagLockExtension())).empty())
            status.state = FlagState::Leftover;
    } else {
        status.error = owned;
    }
    return status;
}

bool heldElsewhere(talvo2::error_t code) {
    return code == talvo2::FlagOwnedElsewhere || code == talvo2::FileLocked ||
           code == talvo2::AlreadyExists;
}

talvo2::error_t takeFlag(talvo2::INode& node, const std::string& name, bool replace, bool takeOver,
                         corekit2::sptr_t<talvo2::IFlagData>& data) {
    const std::wstring wide = ulib_2_18::from_utf8(name);
    talvo2::error_t added = node.addFlag(wide.c_str(), data, replace, takeOver);
    if (added == talvo2::AlreadyExists) {
        // The flag's files are there: either a live holder has it, or a holder that ended left
        // them, which asking clears so that the flag can be taken after all.
        const talvo2::error_t owned = node.ownFlag(wide.c_str());
        if (owned == talvo2::FlagOwnedElsewhere || owned == talvo2::RecordFormatError)
            added = owned;
        if (owned == talvo2::NotFound) {
            added = node.addFlag(wide.c_str(), data, replace, takeOver);
            // Still there though nobody holds it: a holder that ended before writing its
            // record. Taking it over is the caller's call.
            if (added == talvo2::AlreadyExists) added = talvo2::RecordFormatError;
        }
    }
    return added;
}

std::vector<std::string> flagNames(talvo2::INode& node) {
    const std::string lock = utf8(talvo2::getFlagLockExtension());
    std::vector<std::string> names;
    boost::system::error_code error;
    for (fs::directory_iterator it(fs::path(utf8(node.getPath())), error), end; !error && it != end;
         it.increment(error)) {
        const std::string file = it->path().filename().string();
        const std::size_t at = file.rfind(lock);
        if (at == std::string::npos || at == 0 || at + lock.size() != file.size()) continue;
        const std::string name = file.substr(0, at);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string holderName(const std::optional<FlagHolder>& holder) {
    if (!holder) return "an unknown holder";
    std::string text = holder->user;
    text += (text.empty() ? "" : "@") + holder->host;
    // Names come from someone else's file: control characters would reach a terminal as codes.
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    if (holder->pid > 0) text += " (pid " + std::to_string(holder->pid) + ")";
    return text;
}

}  // namespace talvo_front
