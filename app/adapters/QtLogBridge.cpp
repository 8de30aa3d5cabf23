#include "app/adapters/QtLogBridge.h"

#include "core/log/Log.h"

#include <QLoggingCategory>
#include <QString>

#include <cstring>

namespace hh {

namespace {

constexpr const char* prefix = "hollerhopper.";

bool isOurs(const char* category) { return category && std::strncmp(category, prefix, std::strlen(prefix)) == 0; }

LogLevel levelOf(QtMsgType type) {
    switch (type) {
    case QtDebugMsg: return LogLevel::debug;
    case QtInfoMsg: return LogLevel::info;
    case QtWarningMsg: return LogLevel::warning;
    case QtCriticalMsg:
    case QtFatalMsg: return LogLevel::error;
    }
    return LogLevel::info;
}

// Qt's own filter and handler, for every other category.
QLoggingCategory::CategoryFilter qtFilter = nullptr;
QtMessageHandler qtHandler = nullptr;

void filter(QLoggingCategory* category) {
    if (qtFilter) qtFilter(category);
    if (!isOurs(category->categoryName())) return;
    for (QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg})
        category->setEnabled(type, isLogEnabled(levelOf(type)));
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!isOurs(context.category)) {
        if (qtHandler) qtHandler(type, context, message);
        return;
    }
    const QByteArray text = message.toUtf8();
    writeLog(LogCategory{context.category + std::strlen(prefix)}, levelOf(type), {text.constData(), std::size_t(text.size())});
}

} // namespace

void installQtLogBridge() {
    qtHandler = qInstallMessageHandler(handler);
    qtFilter = QLoggingCategory::installFilter(filter);
}

} // namespace hh
