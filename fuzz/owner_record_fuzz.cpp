// Owner records of flags: the bytes of an info file are read as the text up to the first NUL. Any
// content is read or refused without misbehaving, and a record written over any content reads
// back exactly.

#include <cstddef>
#include <cstdint>
#include <string>

#include "corekit2/bag_file.hpp"
#include "flags/file_locker.hpp"
#include "fuzz_util.hpp"
#include "ulib_2_18/text.hpp"

using corekit2::variant_bag_t;
using corekit2::variant_t;
using talvo2::util::FileLocker;
using namespace talvo2::fuzz;

namespace {

std::wstring gInfoFile;
// Filled once: finding the host name may ask the network's name service.
variant_bag_t gOwner;

talvo2::error_t readRecord(variant_bag_t& bag) {
    return FileLocker::readRecord(gInfoFile, bag);
}

void writeRecord(const variant_bag_t& record) {
    check(FileLocker::writeRecord(gInfoFile, record) == talvo2::OK,
          "an owner record cannot be written");
}

void checkRewrite(const variant_bag_t& record) {
    writeRecord(record);
    variant_bag_t back;
    check(readRecord(back) == talvo2::OK, "a written owner record does not read back");
    check(sameBag(back, record), "a written owner record reads back changed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gInfoFile = ulib_2_18::from_utf8(makeScratchDirectory() + "/owner.info");
    FileLocker::fillOwnerRecord(gOwner);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string path = ulib_2_18::to_utf8(gInfoFile);
    writeFile(path, data, size);

    variant_bag_t record;
    const talvo2::error_t status = readRecord(record);
    if (size == 0 || data[0] == 0) {
        // Nothing before the terminator: a holder that died before writing its record.
        check(status == talvo2::NotFound, "an empty record is not reported as no record");
    } else if (status == talvo2::OK) {
        // The same text as a bag: the record is exactly what lies before the first NUL.
        const std::string bytes(reinterpret_cast<const char*>(data), size);
        variant_bag_t direct;
        check(corekit2::load_variant_bag_from_string(
                  direct, variant_t(ulib_2_18::from_utf8(bytes.substr(0, bytes.find('\0'))))) ==
                  corekit2::BAG_OK,
              "a record reads as a bag that the bag loader refuses");
        check(sameBag(direct, record), "a record reads as another bag than its text");
        checkRewrite(record);
    } else {
        check(status == talvo2::RecordFormatError, "a bad record gives an unexpected error");
    }

    // A real owner record over the fuzzed content: whatever remains after it must not matter.
    writeFile(path, data, size);
    checkRewrite(gOwner);
    return 0;
}
