// Declarations that do not fit their implementation, one per MISMATCH value,
// each of which must fail to compile (tests/test_core.py); MISMATCH=0 is the
// fitting declaration and must compile.
#include "pravel.hpp"

namespace kind = pv::kind;
using pv::ref;

struct state : pv::state_base {};

ref scale(state&, ref self, double factor, bool exact) { return self; }

void exec(state& st) {
    pv::class_builder c(st, "C");
#if MISMATCH == 0
    c.method<scale>("scale", nullptr, kind::real{"factor"}, kind::truth{"exact"});
#elif MISMATCH == 1  // a parameter too many
    c.method<scale>("scale", nullptr, kind::real{"factor"}, kind::truth{"exact"}, kind::any{"x"});
#elif MISMATCH == 2  // a parameter too few (no self for a static method)
    c.static_method<scale>("scale", nullptr, kind::real{"factor"}, kind::truth{"exact"});
#elif MISMATCH == 3  // a kind whose C++ type differs
    c.method<scale>("scale", nullptr, kind::integer{"factor"}, kind::truth{"exact"});
#elif MISMATCH == 4  // bool and double do not stand in for each other
    c.method<scale>("scale", nullptr, kind::truth{"factor"}, kind::real{"exact"});
#elif MISMATCH == 5  // the return annotation comes last
    c.method<scale>("scale", nullptr, pv::returns{"C"}, kind::real{"factor"}, kind::truth{"exact"});
#endif
}
