#pragma once

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QString>

/// Turns text that may hold control characters into what a text box draws: a tab stays a tab;
/// a CR LF pair (or a lone CR or LF) becomes a line break when `multiLine`, a visible separator
/// otherwise. Only the characters that a text box would not show at all, NUL, the other C0
/// controls and DEL, are drawn as their Unicode control pictures, so that they are seen.
QString renderForDisplay(const QString& text, bool multiLine);

/// The one-line error box. It keeps the report exactly as written (label, CR LF, description,
/// " - Retry") in text(), and draws the line break as a visible separator.
class ErrorBox : public QLineEdit {
    Q_OBJECT
public:
    explicit ErrorBox(QWidget* parent = nullptr);
    /// The report exactly as last written.
    QString text() const { return m_text; }
    /// Replaces the whole report.
    void setText(const QString& text);

private:
    QString m_text;
};

/// The multi-line response box. text() holds exactly what the handlers wrote (CR LF line
/// breaks and any received bytes); what the user types into the box replaces it.
class ResultsBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit ResultsBox(QWidget* parent = nullptr);
    /// The text exactly as last written by a handler or typed by the user.
    QString text() const { return m_text; }
    /// Replaces the whole text.
    void setText(const QString& text);

private:
    QString m_text;
    bool m_settingText = false;
};
