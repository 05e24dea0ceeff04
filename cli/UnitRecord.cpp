#include "UnitRecord.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include "Configuration.h"
#include "Reporter.h"

namespace {

// The fields that the start and the result record of a unit share.
QJsonObject CommonFields(RecordRun& run, const PlannedPort& port, const QString& kind,
                         const QDateTime& started, int board) {
    const Plan& plan = *run.Planned;
    const ProcessState& base = plan.Base;
    QJsonObject record{
        {"schema", RecordSchema},
        {"record", kind},
        {"run", run.Id},
        {"sequence", ++run.Sequence},
        {"started", RecordTime(started)},
        {"host", run.Host},
        {"station", run.Station},
        {"port", port.Target.Label},
        {"device", port.Device},
        {"command", run.Command},
        {"model", ModelText(base)},
        {"fwloader_version", QString::fromLatin1(ProgramVersion)},
    };
    if (board > 0) {
        record.insert("board", board);
    }
    if (!port.Unit.isEmpty()) {
        record.insert("unit", port.Unit);
    }
    if (!run.Fields.isEmpty()) {
        QJsonObject fields;
        for (const auto& [key, value] : run.Fields) {
            fields.insert(key, value);
        }
        record.insert("fields", fields);
    }
    if (!port.Usb.IsEmpty()) {
        record.insert("vendor_id", port.Usb.VendorId);
        record.insert("product_id", port.Usb.ProductId);
        if (!port.Usb.Serial.isEmpty()) {
            record.insert("serial", port.Usb.Serial);
        }
    }
    if (plan.FirmwarePath.isEmpty()) {
        record.insert("output", plan.OutputPath);
    } else {
        record.insert("file", QFileInfo(plan.FirmwarePath).fileName());
        record.insert("path", plan.FirmwarePath);
        record.insert("sha256", plan.FirmwareSha256);
        record.insert("version", QStringLiteral("%1.%2")
                                     .arg(base.FirmwareVersion.Major)
                                     .arg(base.FirmwareVersion.Minor));
    }
    return record;
}

QByteArray Line(const QJsonObject& record) {
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

}  // namespace

QString RecordTime(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QByteArray StartRecord(RecordRun& run, const PlannedPort& port, const QDateTime& started,
                       int board) {
    QJsonObject record = CommonFields(run, port, QStringLiteral("start"), started, board);
    record.insert("time", RecordTime(started));
    return Line(record);
}

QByteArray ResultRecord(RecordRun& run, const PlannedPort& port, const PortResult& result,
                        const QDateTime& started, const QDateTime& ended,
                        const QString& outputSha256, int board) {
    QJsonObject record = CommonFields(run, port, QStringLiteral("result"), started, board);
    record.insert("time", RecordTime(ended));
    record.insert("ended", RecordTime(ended));
    const QJsonObject outcome = OutcomeFields(result);
    for (auto field = outcome.begin(); field != outcome.end(); ++field) {
        record.insert(field.key(), field.value());
    }
    if (!outputSha256.isEmpty()) {
        record.insert("sha256", outputSha256);
    }
    return Line(record);
}
