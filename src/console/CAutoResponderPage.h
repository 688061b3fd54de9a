// CAutoResponderPage: the user editor's "&AutoResponder" page: the fixed
// text the selected account answers every message with. Saving an empty
// text turns the reply off. The text file and the AutoResponder row are
// written by the same engine call as `velmora account autoresponse`.
#pragma once

#include "console/CConsolePage.h"

class QLabel;
class QPlainTextEdit;

class CAutoResponderPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CAutoResponderPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

    // The reply is sent as ISO-8859-1 text with CR LF lines: the editor's
    // text in that form, or false when a character has no place in it.
    static bool ToReplyBytes(const QString& text, std::string& bytes);

private:
    void Save();
    // The account id and its text file; false after saying why.
    bool Locate(long& id, std::string& path);

    QLabel* title;
    QPlainTextEdit* editor;
    QLabel* message;
};
