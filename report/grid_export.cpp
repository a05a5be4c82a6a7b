#include "report/grid_export.h"

#include "dbf/codec.h"

namespace zorbel {

namespace {

QString csvField(QString s) {
    if (s.contains(';') || s.contains('"') || s.contains('\n') || s.contains('\r'))
        return '"' + s.replace('"', "\"\"") + '"';
    return s;
}

} // namespace

QByteArray gridCsv(const ArchiveModel& model, bool utf8) {
    QString text;
    auto endLine = [&](const QStringList& fields) {
        QStringList quoted;
        for (const QString& f : fields)
            quoted << csvField(f);
        text += quoted.join(';') + "\r\n";
    };
    QStringList header;
    for (int c = 0; c < model.columnCount(); ++c)
        header << model.headerData(c, Qt::Horizontal).toString();
    endLine(header);
    for (int r = 0; r < model.rowCount(); ++r) {
        QStringList line;
        for (int c = 0; c < model.columnCount(); ++c) {
            const dbf::Value& v = model.value(r, c);
            QString s = ArchiveModel::display(v);
            if (std::holds_alternative<double>(v)) s.replace('.', ',');
            line << s;
        }
        endLine(line);
    }
    const QByteArray bytes = text.toUtf8();
    if (utf8) return bytes;
    return QByteArray::fromStdString(dbf::codec::toCp1251(bytes.toStdString()));
}

std::vector<std::vector<CellValue>> gridCells(const ArchiveModel& model) {
    std::vector<std::vector<CellValue>> out;
    std::vector<CellValue> header;
    for (int c = 0; c < model.columnCount(); ++c)
        header.push_back(CellValue::str(model.headerData(c, Qt::Horizontal).toString().toStdString()));
    out.push_back(std::move(header));
    for (int r = 0; r < model.rowCount(); ++r) {
        std::vector<CellValue> line;
        for (int c = 0; c < model.columnCount(); ++c) {
            const dbf::Value& v = model.value(r, c);
            if (auto* d = std::get_if<double>(&v))
                line.push_back({CellValue::Kind::Number, *d, {}, "0.00"});
            else if (auto* i = std::get_if<int64_t>(&v))
                line.push_back(CellValue::num(double(*i)));
            else if (auto* t = std::get_if<dbf::DateTime>(&v))
                line.push_back(CellValue::date(t->toOleDays(), "DD.MM.YYYY HH:MM"));
            else if (std::holds_alternative<std::monostate>(v))
                line.push_back({});
            else
                line.push_back(CellValue::str(ArchiveModel::display(v).toStdString()));
        }
        out.push_back(std::move(line));
    }
    return out;
}

} // namespace zorbel
