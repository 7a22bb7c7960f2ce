#include "ctl/verbs.h"
#include "ctl/decade.h"

int sweepVerb(CtlContext &ctx, const QStringList &)
{
    return usageError(ctx, "sweep: not yet");
}
