#pragma once

// Every name the library writes to disk or looks for there, in one place. docs/formats.md
// describes the files these names make up; a reader in another language needs nothing else.
// The node and flag file extensions are not here: they are formed from the product's short name
// when the library first needs them (names.hpp).

#include <cstddef>

namespace talvo2::disk {

// The sub-bag of every marker where the library keeps its own values.
constexpr const wchar_t* kTalvoSection = L"talvo";

// Keys of the "talvo" sub-bag the node core reads and writes.
constexpr const wchar_t* kTimestamp = L"timestamp";              // unsigned 64-bit, creation
constexpr const wchar_t* kBacklink = L"backlink";                // the link file placing the node
constexpr const wchar_t* kOutputDirectory = L"outputDirectory";  // where a group's members go
constexpr const wchar_t* kVariables = L"variables";              // sub-bag of result variables

// Creation metadata, written into every new result, project and experiment.
constexpr const wchar_t* kHostName = L"hostname";
constexpr const wchar_t* kOs = L"os";
constexpr const wchar_t* kProduct = L"product";
constexpr const wchar_t* kBuildNumber = L"buildNumber";
constexpr const wchar_t* kLogicalCpuCount = L"logicalCPUCount";
constexpr const wchar_t* kPhysicalCoreCount = L"physicalCoreCount";
constexpr const wchar_t* kProcessorPackageCount = L"processorPackageCount";
constexpr const wchar_t* kCpuFrequency = L"CPUFrequency";
constexpr const wchar_t* kCpuFamily = L"CPUFamily";
constexpr const wchar_t* kCpuModel = L"CPUModel";
constexpr const wchar_t* kCpuStepping = L"CPUStepping";
constexpr const wchar_t* kCpuBrandName = L"CPUBrandName";
constexpr const wchar_t* kIsa = L"isa";
constexpr const wchar_t* kMpiRank = L"mpirank";  // results made in an MPI job only

// Collection metadata, set by collectors.
constexpr const wchar_t* kCollectionCommand = L"collectionCommand";
constexpr const wchar_t* kCollectionTimeBegin = L"collectionTimeBegin";
constexpr const wchar_t* kCollectionTimeEnd = L"collectionTimeEnd";
constexpr const wchar_t* kFinalizationTimeBegin = L"finalizationTimeBegin";
constexpr const wchar_t* kFinalizationTimeEnd = L"finalizationTimeEnd";
constexpr const wchar_t* kApplicationLog = L"applicationLog";
constexpr const wchar_t* kCollectorLog = L"collectorLog";
constexpr const wchar_t* kCommandLog = L"commandLog";
constexpr const wchar_t* kDefaultApplicationLog = L"application.log";
constexpr const wchar_t* kDefaultCollectorLog = L"collector.log";
constexpr const wchar_t* kDefaultCommandLog = L"command.log";

// Link files: named after the marker they lead to, plus this suffix; a bag with these keys.
constexpr const wchar_t* kLinkSuffix = L"link";
constexpr const wchar_t* kLinkTarget = L"link";    // the marker's path
constexpr const wchar_t* kLinkDigest = L"md5sum";  // MD5 of the marker's head, in hexadecimal
// A path is a link file when its extension, the dot included, is longer than this and ends in
// the suffix (any case): long enough to hold a node extension before it.
constexpr std::size_t kLinkExtensionMinimum = 8;
// How much of a marker the digest covers: a change beyond it does not make a link stale.
constexpr std::size_t kDigestBytes = 4096;

// Owner records, written into a flag's info file by its holder.
constexpr const wchar_t* kOwnerTimestamp = L"timestamp";
constexpr const wchar_t* kOwnerPid = L"pid";
constexpr const wchar_t* kOwnerPpid = L"ppid";
constexpr const wchar_t* kOwnerHost = L"host";
constexpr const wchar_t* kOwnerUser = L"user";
constexpr const wchar_t* kOwnerOs = L"os";

// The flag a node's save asks about: held by someone else, it refuses the save.
constexpr const wchar_t* kReadOnlyFlag = L"project_read_only";

// A result directory's layout.
constexpr const wchar_t* kDataPrefix = L"data.";      // collector data directories: data.0, data.1
constexpr const wchar_t* kFinalizedMark = L".norun";  // collection has finished
constexpr const wchar_t* kInvalidMark = L".bad";      // the result is invalid
constexpr const wchar_t* kInvalidSuffix = L"-bad";    // an invalid result moves to NAME-bad
constexpr const wchar_t* kSourceDirectory = L"source";
constexpr const wchar_t* kConfigDirectory = L"config";
constexpr const wchar_t* kLogDirectory = L"log";

// The search-directory configuration, below a result's "config" directory.
constexpr const wchar_t* kSearchDirectoriesFile = L"search_dir.cfg";
constexpr const wchar_t* kSearchDirectoriesSection = L"All_Configurations-All_Platforms";

// A project marker of this name shows its directory's name as the project's name.
constexpr const wchar_t* kProjectConfigStem = L"config";

// The result-name pattern callers get by default.
constexpr const wchar_t* kDefaultResultName = L"r@@@";
// Characters no result-name pattern may hold.
constexpr const wchar_t* kReservedCharacters = L"<>:\"/\\|?*";
// Names Windows reserves for devices; a result name must not be one (before its first ".").
constexpr const wchar_t* const kReservedNames[] = {
    L"CON",  L"PRN",  L"AUX",  L"NUL",  L"COM1", L"COM2", L"COM3", L"COM4",
    L"COM5", L"COM6", L"COM7", L"COM8", L"COM9", L"LPT1", L"LPT2", L"LPT3",
    L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9"};

}  // namespace talvo2::disk
