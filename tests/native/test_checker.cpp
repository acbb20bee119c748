// Checker internals out of reach of the Python tests: the RUP test undoes its
// trial assignment exactly, and a malformed step list is a Panic.
#include "../../src/checker/checker.hpp"
#include "../../src/core/errors.hpp"
#include "check.hpp"

using namespace nv;
using tl::Clause;

namespace {

void test_rup_leaves_the_assignment_alone() {
    Checker ck(3, true, true);
    ck.insert(Clause{0, 2});
    CHECK(ck.is_rup(Clause{0, 2, 4}) && ck.is_rup(Clause{4, 5}) && !ck.is_rup(Clause{0, 4}) && !ck.is_rup({}));
    CHECK(ck.prop.trail.empty() && ck.prop.vals == std::vector<uint8_t>(6, Prop::kUnassigned));
}

// A malformed step list is an internal fault, not undefined behaviour.
void test_malformed_steps() {
    StepList bad;
    bad.is_deletion.push_back(false);
    CHECK(tl::throws<Panic>([&] { check_proof(1, Cnf{}, bad, true, true); }));
}

}  // namespace

int main() {
    test_rup_leaves_the_assignment_alone();
    test_malformed_steps();
    return tl::finish("test_checker");
}
