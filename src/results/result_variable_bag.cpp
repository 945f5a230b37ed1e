#include "talvo2/result_variable_bag.hpp"

#include "frame/disk_format.hpp"

namespace talvo2 {

using corekit2::variant_bag_t;
using corekit2::variant_t;

namespace {

const variant_bag_t* variablesOf(const variant_bag_t& bag) {
    const variant_bag_t* talvo = bag.get<variant_bag_t>(disk::kTalvoSection);
    return talvo ? talvo->get<variant_bag_t>(disk::kVariables) : nullptr;
}

variant_bag_t& section(variant_bag_t& bag, const wchar_t* key) {
    if (variant_bag_t* existing = bag.get<variant_bag_t>(key)) return *existing;
    return *bag.put(key, variant_bag_t());
}

}  // namespace

const wchar_t ResultVariableBag::VAR_AT[] = L"at";
const wchar_t ResultVariableBag::VAR_MPIRANK[] = L"mpirank";

ResultVariableBag::ResultVariableBag(const variant_bag_t* bag) {
    if (bag) m_bag = *bag;
}

ResultVariableBag::ResultVariableBag(const ResultVariableBag& other) = default;
ResultVariableBag& ResultVariableBag::operator=(const ResultVariableBag& other) = default;
ResultVariableBag::~ResultVariableBag() = default;

void ResultVariableBag::putVariable(const wchar_t* name, const variant_t& value) {
    if (!name) return;
    section(section(m_bag, disk::kTalvoSection), disk::kVariables).put(name, value);
}

bool ResultVariableBag::hasVariable(const wchar_t* name) const {
    const variant_bag_t* variables = name ? variablesOf(m_bag) : nullptr;
    return variables && variables->has<variant_t>(name);
}

variant_t ResultVariableBag::getVariable(const wchar_t* name) const {
    const variant_bag_t* variables = name ? variablesOf(m_bag) : nullptr;
    return variables ? variables->get_variant(name) : variant_t();
}

const variant_bag_t& ResultVariableBag::getVariables() const {
    return m_bag;
}

}  // namespace talvo2
