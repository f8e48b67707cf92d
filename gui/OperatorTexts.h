// The operator's view's fixed texts in both languages of the window: English keys, Chinese
// partners shown when the window's language (Language, chosen as the main window chooses it) is
// "cn". Kept beside the view rather than in the log's text table, which holds only the main
// window's own pairs.
#pragma once

#include <QString>
#include <string_view>

namespace quillon::gui {

// The Chinese partner of an English text in Chinese mode, otherwise the text itself.
QString OperatorText(std::string_view english);
// The text with %1 (and %2) replaced, after translation.
QString OperatorText(std::string_view english, const QString& a1, const QString& a2 = {});

// The language the window would choose with the settings file at settingsPath (its lang key),
// set as the process's language; without the file the language stays as it is ("en").
void ChooseWindowLanguage(const std::string& settingsPath);

}  // namespace quillon::gui
