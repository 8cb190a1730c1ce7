#include "app/Reporting.h"

#include "app/Controls.h"
#include "app/TextBoxes.h"
#include "app/WindowState.h"

#include <QApplication>

#include <chrono>
#include <thread>

void PlatformBeep::beep() {
    QApplication::beep();
}

void Reporting::clearError() {
    m_ui.txtError->setVisible(false);
}

void Reporting::showError() {
    m_ui.txtError->setVisible(true);
}

void Reporting::errorReport(const QString& label, const QString& description) {
    m_ui.txtError->setText(label + m_state.NL + description + QStringLiteral(" - Retry"));
    m_ui.txtError->setVisible(true);
    beep();
}

void Reporting::errorNotice(const QString& message) {
    m_ui.txtError->setText(message);
    m_ui.txtError->setVisible(true);
}

void Reporting::resultLine(const QString& message) {
    m_ui.txtResults->setText(message);
}

void Reporting::appendedLine(const QString& addition) {
    m_ui.txtResults->setText(m_ui.txtResults->text() + m_state.NL + addition);
}

void Reporting::progressLine(const QString& message) {
    resultLine(message);
    m_ui.txtResults->repaint();
}

void Reporting::beep() {
    m_beep.beep();
}

bool Reporting::trap(const QString& label, const std::function<void()>& body) {
    try {
        body();
        return true;
    } catch (const sicl::SiclError& e) {
        errorReport(label, QString::fromLatin1(e.description().data(),
                                               static_cast<qsizetype>(e.description().size())));
    } catch (const std::exception& e) {
        errorReport(label, QString::fromLocal8Bit(e.what()));
    }
    return false;
}

void Reporting::prepareReport(const QString& label) {
    m_ui.txtError->setText(label + m_state.NL + QStringLiteral(" - Retry"));
}

bool Reporting::trapPrepared(const std::function<void()>& body) {
    try {
        body();
        return true;
    } catch (const std::exception&) {
        // The prepared text says which step failed; the library's description is not part of it.
        showError();
        beep();
    }
    return false;
}

void waitSecs(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto duration = std::chrono::duration<double>(seconds);
    for (;;) {
        const auto elapsed = Clock::now() - start;
        if (elapsed >= duration) {
            return;
        }
        // Sleep in small steps rather than spin; no event is processed meanwhile.
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(duration - elapsed);
        std::this_thread::sleep_for(std::min(left, std::chrono::microseconds(2000)));
    }
}

QString plainNumber(long long value) {
    return QString::number(value);
}

QString signSpaced(long long value) {
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

std::optional<std::string> toLatin1Bytes(const QString& text) {
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar c : text) {
        if (c.unicode() > 0xFF) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(c.unicode()));
    }
    return out;
}

QString fromLatin1Bytes(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}
