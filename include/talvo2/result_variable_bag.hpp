#pragma once

#include "corekit2/variant.hpp"
#include "corekit2/variant_bag.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

// Builds the bag a result is created with, carrying result variables: named values that
// result-name patterns refer to in braces ("r@@@_{at}") and that are kept with the result. The
// variables live under "talvo" -> "variables" of the wrapped bag, beside whatever else it holds.
// A name pattern takes a variable's text value; a value of another type leaves "{name}" as
// written, except that "{hostname}" reads as the machine's name when the bag holds variables but
// no text "hostname". A value type that touches no file and no last error; not synchronised: one
// thread at a time per object.
class TALVO2_API ResultVariableBag {
public:
    // Well-known variable names: "at" and "mpirank". Nothing fills them in: the caller puts them.
    static const wchar_t VAR_AT[];
    static const wchar_t VAR_MPIRANK[];

    // Starts from a copy of `bag` (everything it holds is kept), or from an empty bag.
    explicit ResultVariableBag(const corekit2::variant_bag_t* bag = nullptr);
    ResultVariableBag(const ResultVariableBag& other);
    ResultVariableBag& operator=(const ResultVariableBag& other);
    ~ResultVariableBag();

    // Stores a copy of `value` under `name`, replacing an earlier value. A null name does nothing.
    void putVariable(const wchar_t* name, const corekit2::variant_t& value);
    // Whether a value is stored under `name`; false for null.
    bool hasVariable(const wchar_t* name) const;
    // A copy of the value under `name`; empty when there is none or `name` is null.
    corekit2::variant_t getVariable(const wchar_t* name) const;
    // The whole bag, to pass to ResultDirectoryManager::create. Valid while this object lives.
    const corekit2::variant_bag_t& getVariables() const;

private:
    corekit2::variant_bag_t m_bag;
};

}  // namespace talvo2
