#include "app/TextBoxes.h"

namespace {

/// Unicode "control pictures" for C0 controls and DEL.
QChar controlPicture(char16_t c) {
    if (c < 0x20) {
        return QChar(static_cast<char16_t>(0x2400 + c));
    }
    return QChar(static_cast<char16_t>(0x2421)); // DEL
}

} // namespace

QString renderForDisplay(const QString& text, bool multiLine) {
    QString out;
    out.reserve(text.size());
    const QString lineBreak = multiLine ? QStringLiteral("\n") : QStringLiteral(" \u23CE ");
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n')) {
            out += lineBreak;
            ++i;
        } else if (c == u'\r' || c == u'\n') {
            out += lineBreak;
        } else if ((c < 0x20 && c != u'\t') || c == 0x7F) {
            out += controlPicture(c);
        } else {
            out += QChar(c);
        }
    }
    return out;
}

ErrorBox::ErrorBox(QWidget* parent) : QLineEdit(parent) {}

void ErrorBox::setText(const QString& text) {
    m_text = text;
    QLineEdit::setText(renderForDisplay(text, false));
    setCursorPosition(0);
}

ResultsBox::ResultsBox(QWidget* parent) : QPlainTextEdit(parent) {
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_settingText) {
            m_text = toPlainText(); // the user typed: the box now holds what they typed
        }
    });
}

void ResultsBox::setText(const QString& text) {
    m_text = text;
    m_settingText = true;
    setPlainText(renderForDisplay(text, true));
    m_settingText = false;
}
