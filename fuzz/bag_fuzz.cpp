// Bag files: any bytes, read from a file or decoded as UTF-8 text, either load or are refused
// leaving the bag untouched; whatever loads saves, and loads back equal.

#include <cstddef>
#include <cstdint>
#include <string>

#include "corekit2/bag_file.hpp"
#include "fuzz_util.hpp"
#include "ulib_2_18/text.hpp"

using corekit2::variant_bag_t;
using corekit2::variant_t;
using namespace talvo2::fuzz;

namespace {

std::string gDirectory;

// A bag that is not empty, to see that a refused load leaves it as it was.
variant_bag_t sentinel() {
    variant_bag_t bag;
    bag.put(L"sentinel", variant_t(int32_t{7}));
    return bag;
}

// Saving `bag` must succeed, as text and as a file, and give back an equal bag; the saved text
// is the fixed point of loading and saving.
void checkRoundTrip(const variant_bag_t& bag) {
    variant_t text;
    check(corekit2::save_variant_bag_to_string(bag, &text) == corekit2::BAG_OK,
          "a loaded bag cannot be saved as text");
    variant_bag_t again = sentinel();
    check(corekit2::load_variant_bag_from_string(again, text) == corekit2::BAG_OK,
          "saved text does not load");
    check(sameBag(bag, again), "saved text loads as another bag");
    variant_t textAgain;
    check(corekit2::save_variant_bag_to_string(again, &textAgain) == corekit2::BAG_OK &&
              textAgain == text,
          "saving a reloaded bag gives other text");

    const std::wstring file = ulib_2_18::from_utf8(gDirectory + "/saved.xml");
    check(corekit2::save_variant_bag(bag, file.c_str()) == corekit2::BAG_OK,
          "a loaded bag cannot be saved to a file");
    variant_bag_t fromFile = sentinel();
    check(corekit2::load_variant_bag(fromFile, file.c_str(), corekit2::kDefaultBagRoot) ==
              corekit2::BAG_OK,
          "a saved file does not load");
    check(sameBag(bag, fromFile), "a saved file loads as another bag");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gDirectory = makeScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // The bytes as a file, in whatever encoding the parser detects.
    const std::string path = gDirectory + "/input.xml";
    writeFile(path, data, size);
    const std::wstring file = ulib_2_18::from_utf8(path);
    variant_bag_t fromFile = sentinel();
    const int fileStatus = corekit2::load_variant_bag(fromFile, file.c_str(), nullptr);
    if (fileStatus == corekit2::BAG_OK) {
        checkRoundTrip(fromFile);
    } else {
        check(fileStatus & corekit2::BAG_FAILURE, "a failed load returns no failure status");
        check(fromFile == sentinel(), "a refused file changed the bag");
    }

    // Merging the file into a bag adds its entries, replacing those of the same key and kind.
    variant_bag_t merged = sentinel();
    check(corekit2::load_variant_bag2(merged, file.c_str(), nullptr, true) == fileStatus,
          "merging and loading the same file disagree");
    variant_bag_t expected = sentinel();
    if (fileStatus == corekit2::BAG_OK) {
        for (const std::wstring& key : fromFile.keys<variant_t>())
            expected.put(key, *fromFile.get<variant_t>(key));
        for (const std::wstring& key : fromFile.keys<variant_bag_t>())
            expected.put(key, *fromFile.get<variant_bag_t>(key));
    }
    check(sameBag(merged, expected), "merging a file gives another bag than its entries");

    // The bytes decoded as UTF-8 text.
    const std::wstring text = ulib_2_18::from_utf8(bytes);
    variant_bag_t fromString = sentinel();
    const int stringStatus = corekit2::load_variant_bag_from_string(fromString, variant_t(text));
    if (stringStatus == corekit2::BAG_OK) {
        checkRoundTrip(fromString);
    } else {
        check(fromString == sentinel(), "refused text changed the bag");
    }

    // Well-formed UTF-8 reaches the parser unchanged both ways, so both must agree. (An empty
    // file is refused before parsing.)
    if (!bytes.empty() && ulib_2_18::to_utf8(text) == bytes) {
        check(fileStatus == stringStatus, "file and text loads of the same bytes disagree");
        if (fileStatus == corekit2::BAG_OK)
            check(sameBag(fromFile, fromString), "file and text loads give different bags");
    }
    return 0;
}
