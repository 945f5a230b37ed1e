#pragma once

// Reading and writing the collection metadata in the "talvo" section of a node's property bag.
// Readers never fail: a missing section, key or mistyped value gives the caller's default.

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>

#include "corekit2/variant_bag.hpp"

namespace talvo2 {

// The text stored under `key`, or `fallback` when there is none or it is not text. An empty
// stored text is returned as empty. The pointer lives as long as the value in the bag.
const wchar_t* metadataText(const corekit2::variant_bag_t& bag, const wchar_t* key,
                            const wchar_t* fallback);

// The integer stored under `key`, whatever its integer width, converted to 64 bits; `fallback`
// when there is none or it is not an integer.
int64_t metadataInteger(const corekit2::variant_bag_t& bag, const wchar_t* key, int64_t fallback);

// Puts `value` under `key`, making the section when the bag has none; replaces any earlier value.
void putMetadata(corekit2::variant_bag_t& bag, const wchar_t* key, corekit2::variant_t value);

// Stores text (null as empty).
void putMetadataText(corekit2::variant_bag_t& bag, const wchar_t* key, const wchar_t* text);

// Stores a time as unsigned 64 bits; 1 stands for the current time.
void putMetadataTime(corekit2::variant_bag_t& bag, const wchar_t* key, long long time);

// The stored log name, or `defaultName`, appended as it stands to `directory`; `defaultName`
// also for a stored name with a ".." element, which would lead out of the directory.
std::wstring metadataLogPath(const corekit2::variant_bag_t& bag, const wchar_t* key,
                             const wchar_t* defaultName, const boost::filesystem::path& directory);

// How an operating system name reads in a display: "windows" as "Windows*", "linux" as "Linux*"
// (exact spelling only); anything else as it is.
const wchar_t* displayOsName(const wchar_t* os);

}  // namespace talvo2
