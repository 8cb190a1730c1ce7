#include "app/links/LinkSupport.h"

#include "app/Controls.h"
#include "app/Reporting.h"

#include <QLabel>
#include <QRegularExpression>

#include <cmath>
#include <stdexcept>

namespace links {

QString interfaceAddress(const QString& server) {
    return QStringLiteral("lan;vxi-11[") + server + QStringLiteral("]:gpib");
}

QString deviceAddress(const QString& server, double address) {
    return QStringLiteral("lan;vxi-11[") + server + QStringLiteral("]:gpib,") +
           signSpacedValue(address);
}

std::optional<double> addressValue(const QString& text) {
    // \z, not $: $ also matches before a final line feed, which would let "7\n" through.
    static const QRegularExpression number(
        QStringLiteral("\\A[ \\t]*[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)[ \\t]*\\z"));
    if (!number.match(text).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

QString signSpacedValue(double value) {
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        return signSpaced(static_cast<long long>(value));
    }
    const QString digits = QString::number(value, 'g', 15);
    return value < 0 ? digits : QLatin1Char(' ') + digits;
}

std::string addressBytes(const QString& address) {
    auto bytes = toLatin1Bytes(address);
    if (!bytes) {
        throw std::runtime_error(kServerNotLatin1);
    }
    return *bytes;
}

namespace {

bool closeSession(WindowContext& ctx, sicl::SessionId& id, const QString& label) {
    const sicl::SessionId closing = id;
    id = 0;
    return ctx.report.trap(label, [&] { ctx.sicl.iclose(closing); });
}

} // namespace

bool closeDeviceSession(WindowContext& ctx) {
    if (ctx.st.hDev == 0) {
        return true;
    }
    const bool closed = closeSession(ctx, ctx.st.hDev, QStringLiteral("Close device link error"));
    ctx.ui.lbliLock->setVisible(false);
    return closed;
}

bool closeInterfaceSession(WindowContext& ctx) {
    if (ctx.st.hIntf == 0) {
        return true;
    }
    return closeSession(ctx, ctx.st.hIntf, QStringLiteral("Close interface link error"));
}

} // namespace links
