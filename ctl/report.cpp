#include "ctl/verbs.h"
#include "ctl/decade.h"

int reportVerb(CtlContext &ctx, const QStringList &)
{
    return usageError(ctx, "report: not yet");
}
