#include "RegKeys.h"

#include <cstring>

bool RegKeys::SetKeyValue(std::uint32_t root, const QString& keyPath, const QString& valueName,
                          const QString& value) {
    const QByteArray data = value.toLocal8Bit();
    return Store.SetStringValue(
        root, keyPath.toLocal8Bit().toStdString(), valueName.toLocal8Bit().toStdString(),
        std::string(data.constData(), static_cast<std::size_t>(data.size())));
}

QString RegKeys::GetKeyValue(std::uint32_t root, const QString& keyPath, const QString& valueName) {
    const KeyValueBackend::Query query =
        Store.QueryValue(root, keyPath.toLocal8Bit().toStdString(),
                         valueName.toLocal8Bit().toStdString(), ReadBufferSize);
    if (!query.Found || query.Data.size() >= ReadBufferSize) {
        return {};
    }
    // The buffer is zero-filled before the read, so a string stored without
    // terminator still ends at its last byte.
    char buffer[ReadBufferSize] = {};
    std::memcpy(buffer, query.Data.data(), query.Data.size());
    switch (query.Type) {
        case RegTypeString:
        case RegTypeExpandString:
            return QString::fromLocal8Bit(buffer, static_cast<qsizetype>(std::strlen(buffer)));
        case RegTypeDword: {
            std::uint32_t number = 0;
            for (int b = 3; b >= 0; --b) {
                number = (number << 8) | static_cast<unsigned char>(buffer[b]);
            }
            return QStringLiteral("&h") + QString::number(number, 16).toUpper();
        }
        default:
            return {};
    }
}
