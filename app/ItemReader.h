#pragma once

// Reads a text file item by item, as Config.txt and firmware files are read:
// - an item ends at a comma or at the end of a line (CR, CR LF, or LF alone);
// - an item that begins with a double quote runs to the next double quote,
//   the quotes are not part of it, and commas between them are ordinary;
//   anything after the closing quote up to the next delimiter is skipped;
// - blanks (spaces and tabs) around an unquoted item are not part of it;
// - an empty line, or nothing between two commas, is an empty item;
// - reading an item when the end of the file has been reached is an error.

#include <QByteArray>

class ItemReader {
public:
    explicit ItemReader(QByteArray content) : Content(std::move(content)) {}

    bool AtEnd() const { return Position >= Content.size(); }

    // The next item; false (and item untouched) when the end of the file had
    // already been reached.
    bool ReadItem(QByteArray& item);

private:
    QByteArray Content;
    qsizetype Position = 0;
};
