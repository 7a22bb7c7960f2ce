#include "ctl/verbs.h"
#include "ctl/decade.h"

int serveVerb(CtlContext &ctx, const QStringList &)
{
    return usageError(ctx, "serve: not yet");
}
