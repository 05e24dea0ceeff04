#include <QTest>

#include "Fakes.h"
#include "FileDialog.h"
#include "IntelHexWriter.h"
#include "SaveAction.h"

namespace {

const QString AppTitle = QStringLiteral("Loader 1.0");

FileDialogResult Chosen(const QString& path) {
    return {FileDialogResult::Outcome::Chosen, path};
}

}  // namespace

class SaveActionTest : public QObject {
    Q_OBJECT
private slots:
    void modeChoosesTheDialog_data();
    void modeChoosesTheDialog();
    void dialogOutcomes();
    void saveAsksForAFileAndReplacesItWhole();
    void saveWithoutAChoiceTouchesNothing();
    void saveThatCannotWriteSaysWhyAndWhere();
};

void SaveActionTest::modeChoosesTheDialog_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("open");
    QTest::newRow("OPEN") << "OPEN" << true;
    QTest::newRow("open") << "open" << true;
    QTest::newRow("oPeN") << "oPeN" << true;
    QTest::newRow("Save") << "Save" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("OPEN with a blank") << "OPEN " << false;
}

void SaveActionTest::modeChoosesTheDialog() {
    QFETCH(QString, mode);
    QFETCH(bool, open);
    ScriptedFileDialogs dialogs;
    ScriptedMessageBoxes messages;
    ShowFileDialog(dialogs, messages, AppTitle, mode, "标题", "first.hex");

    QCOMPARE(dialogs.Requests.size(), 1);
    const FileDialogRequest& request = dialogs.Requests.first();
    QCOMPARE(request.OpenDialog, open);
    QCOMPARE(request.DefaultExtension, open ? QString() : QString("hex"));
    QCOMPARE(request.Title, "标题");
    QCOMPARE(request.InitialName, "first.hex");
    QCOMPARE(request.Filters.size(), 2);
    QCOMPARE(request.Filters[0].Label, "烧录文件(*.hex)");
    QCOMPARE(request.Filters[0].Pattern, "*.hex");
    QCOMPARE(request.Filters[1].Label, "所有文件(*.*)");
    QCOMPARE(request.Filters[1].Pattern, "*.*");
}

void SaveActionTest::dialogOutcomes() {
    ScriptedFileDialogs dialogs;
    ScriptedMessageBoxes messages;
    const QString longPath = "/data/" + QString(300, QChar(u'固')) + ".hex";
    dialogs.Results = {Chosen("/data/a.hex"),
                       Chosen(longPath),
                       {FileDialogResult::Outcome::Cancelled, {}},
                       {FileDialogResult::Outcome::Failed, {}}};
    auto show = [&] { return ShowFileDialog(dialogs, messages, AppTitle, "Save", "保存", ""); };

    QCOMPARE(show(), "/data/a.hex");
    QCOMPARE(show(), longPath);  // never shortened
    QCOMPARE(show(), QString());
    QVERIFY(messages.Log.isEmpty());  // cancelling is not a failure
    QCOMPARE(show(), QString());
    QCOMPARE(messages.Log.size(), 1);
    QCOMPARE(messages.Log[0].Text, "未知原因导致操作失败！");
    QCOMPARE(messages.Log[0].Icon, MessageIcon::Critical);
    QCOMPARE(messages.Log[0].Buttons, MessageButtons::Ok);
    QCOMPARE(messages.Log[0].Title, AppTitle);
}

void SaveActionTest::saveAsksForAFileAndReplacesItWhole() {
    auto state = std::make_unique<ProcessState>();
    state->FirmwareImage[0x7FFF] = 0x5A;
    ScriptedFileDialogs dialogs;
    ScriptedMessageBoxes messages;
    MemoryFileSystem files;
    files.Files["/out/fw.hex"] = QByteArray(100000, 'x');
    dialogs.Results = {Chosen("/out/fw.hex")};

    RunSaveAction(*state, dialogs, files, messages);

    QCOMPARE(dialogs.Requests.size(), 1);
    QCOMPARE(dialogs.Requests[0].OpenDialog, false);
    QCOMPARE(dialogs.Requests[0].Title, "保存");
    QCOMPARE(dialogs.Requests[0].InitialName, QString());
    QCOMPARE(files.Files["/out/fw.hex"], QByteArray(":01FFFF005AA7\n\r"));
    QVERIFY(messages.Log.isEmpty());
}

void SaveActionTest::saveWithoutAChoiceTouchesNothing() {
    auto state = std::make_unique<ProcessState>();
    state->AppTitle = AppTitle;
    for (auto outcome : {FileDialogResult::Outcome::Cancelled, FileDialogResult::Outcome::Failed}) {
        ScriptedFileDialogs dialogs;
        ScriptedMessageBoxes messages;
        MemoryFileSystem files;
        dialogs.Results = {{outcome, {}}};
        RunSaveAction(*state, dialogs, files, messages);
        QVERIFY(files.Files.isEmpty());
        // Only a failed dialog speaks, and only once.
        QCOMPARE(messages.Log.size(), outcome == FileDialogResult::Outcome::Failed ? 1 : 0);
    }
}

void SaveActionTest::saveThatCannotWriteSaysWhyAndWhere() {
    auto state = std::make_unique<ProcessState>();
    state->AppTitle = AppTitle;
    state->EnglishUi = true;
    state->FirmwareImage[0] = 0x01;
    ScriptedFileDialogs dialogs;
    ScriptedMessageBoxes messages;
    MemoryFileSystem files;
    files.Files["/ro/fw.hex"] = "old";
    files.Unwritable.insert("/ro/fw.hex");
    dialogs.Results = {Chosen("/ro/fw.hex")};

    RunSaveAction(*state, dialogs, files, messages);

    QCOMPARE(files.Files["/ro/fw.hex"], QByteArray("old"));
    QCOMPARE(messages.Log.size(), 1);
    QVERIFY(messages.Log[0].Text.contains("/ro/fw.hex"));
    QVERIFY(messages.Log[0].Text.contains("permission denied"));
    QCOMPARE(messages.Log[0].Icon, MessageIcon::Critical);
    QCOMPARE(messages.Log[0].Title, AppTitle);
}

QTEST_APPLESS_MAIN(SaveActionTest)
#include "tst_SaveAction.moc"
