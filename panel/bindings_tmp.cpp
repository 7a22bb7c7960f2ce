// TEMPORARY, until the build makes the bindings from T483.UIR: the main
// panel's callbacks bound under the names the layout gives them.
#include "panel/callbacks.h"

namespace {

const CallbackBinding bindings[] = {
    {"cbstart", cbstart}, {"cbvypnout", cbvypnout}, {"cbkonec", cbkonec}, {"cbr", cbr},
    {"cbodpor", cbodpor}, {"cbremote", cbremote},   {"cbtimer", cbtimer}, {nullptr, nullptr},
};
[[maybe_unused]] const int bound = BindCallbacks(bindings);

} // namespace
