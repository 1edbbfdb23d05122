#include "logcategories.h"

Q_LOGGING_CATEGORY(lcDali, "dali", QtDebugMsg)
Q_LOGGING_CATEGORY(lcDaliTrace, "dali.trace", QtDebugMsg)
Q_LOGGING_CATEGORY(lcFileTrans, "filetrans", QtDebugMsg)
Q_LOGGING_CATEGORY(lcFileTransTrace, "filetrans.trace", QtDebugMsg)
Q_LOGGING_CATEGORY(lcRegTrans, "regtrans", QtDebugMsg)
Q_LOGGING_CATEGORY(lcRegTransTrace, "regtrans.trace", QtDebugMsg)
Q_LOGGING_CATEGORY(lcService, "service", QtDebugMsg)
Q_LOGGING_CATEGORY(lcServiceTrace, "service.trace", QtDebugMsg)
Q_LOGGING_CATEGORY(lcCommand, "command", QtDebugMsg)
Q_LOGGING_CATEGORY(lcCommandTrace, "command.trace", QtDebugMsg)
Q_LOGGING_CATEGORY(lcRender, "render", QtDebugMsg)
Q_LOGGING_CATEGORY(lcRenderTrace, "render.trace", QtDebugMsg)
