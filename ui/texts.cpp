#include "ui/texts.h"

namespace ui {

QString displayLines(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == '\n' || c == '\r') {
            // a pair of unlike breaks is one line break; "\n\n" stays two
            if (i + 1 < text.size() && (text[i + 1] == '\n' || text[i + 1] == '\r') && text[i + 1] != c) ++i;
            out += '\n';
        } else {
            out += c;
        }
    }
    return out;
}

QString displayLines(const std::string& utf8) {
    return displayLines(QString::fromStdString(utf8));
}

} // namespace ui
