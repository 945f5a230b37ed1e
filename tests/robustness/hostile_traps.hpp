#pragma once

// The hostile neighbour's work: a victim's tree outside the shared folder, and the traps an
// unprivileged attacker plants inside it.

#include <boost/filesystem.hpp>
#include <string>

namespace talvo2::test {

// The attacker: an unprivileged user of their own group.
constexpr unsigned kMallory = 60003;

// Makes the victim's tree at `canary` as root: loose files, a result, a project whose member is
// linked in from elsewhere, and a folder of kAlice's with a result of hers.
void makeCanary(const boost::filesystem::path& canary);

// Fills `shared` with well-formed nodes (a project P with three members, an experiment E, results
// r000 to r011), then forges and traps them, naming places in `canary`. Run as the attacker.
// The names the victims' operations use are listed in hostile_test.cpp.
void plantTraps(const boost::filesystem::path& shared, const boost::filesystem::path& canary);

}  // namespace talvo2::test
