#include "ItemReader.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool EndsItem(char c) {
    return c == ',' || c == '\r' || c == '\n';
}

}  // namespace

bool ItemReader::ReadItem(QByteArray& item) {
    if (AtEnd()) {
        return false;
    }
    const qsizetype size = Content.size();
    qsizetype p = Position;
    while (p < size && IsBlank(Content[p])) {
        ++p;
    }
    QByteArray result;
    if (p < size && Content[p] == '"') {
        const qsizetype close = Content.indexOf('"', p + 1);
        const qsizetype end = close < 0 ? size : close;
        result = Content.mid(p + 1, end - p - 1);
        p = close < 0 ? size : close + 1;
        while (p < size && !EndsItem(Content[p])) {
            ++p;
        }
    } else {
        const qsizetype start = p;
        while (p < size && !EndsItem(Content[p])) {
            ++p;
        }
        qsizetype end = p;
        while (end > start && IsBlank(Content[end - 1])) {
            --end;
        }
        result = Content.mid(start, end - start);
    }
    // Consume the delimiter: a comma, CR LF, CR or LF.
    if (p < size) {
        if (Content[p] == '\r' && p + 1 < size && Content[p + 1] == '\n') {
            p += 2;
        } else {
            ++p;
        }
    }
    Position = p;
    item = result;
    return true;
}
