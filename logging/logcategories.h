#ifndef LOGCATEGORIES_H
#define LOGCATEGORIES_H

#include <QLoggingCategory>

// Every area has a plain category for its debug output and a ".trace" twin
// for finer output that only the most verbose log level writes. Each
// category is created on first use of its accessor and lets every message
// type through; the logger's level decides what reaches the file.
Q_DECLARE_LOGGING_CATEGORY(lcDali)
Q_DECLARE_LOGGING_CATEGORY(lcDaliTrace)
Q_DECLARE_LOGGING_CATEGORY(lcFileTrans)
Q_DECLARE_LOGGING_CATEGORY(lcFileTransTrace)
Q_DECLARE_LOGGING_CATEGORY(lcRegTrans)
Q_DECLARE_LOGGING_CATEGORY(lcRegTransTrace)
Q_DECLARE_LOGGING_CATEGORY(lcService)
Q_DECLARE_LOGGING_CATEGORY(lcServiceTrace)
Q_DECLARE_LOGGING_CATEGORY(lcCommand)
Q_DECLARE_LOGGING_CATEGORY(lcCommandTrace)
Q_DECLARE_LOGGING_CATEGORY(lcRender)
Q_DECLARE_LOGGING_CATEGORY(lcRenderTrace)

#endif // LOGCATEGORIES_H
