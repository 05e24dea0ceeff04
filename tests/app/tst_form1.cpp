// The main window built on the real platform parts: start-up from a program
// folder on disk, and the controls the operator sees.

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "Form1.h"

class Form1Test : public QObject {
    Q_OBJECT

    QTemporaryDir Folder;
    QTemporaryDir Store;

private slots:
    void initTestCase() { qputenv("FWLOADER_STORE_ROOT", Store.path().toLocal8Bit()); }

    void showsTheDesignAfterStartup() {
        QFile config(Folder.filePath("Config.txt"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("1:2:3\r\nVendor\r\nMy Loader\r\n");
        config.close();

        ProcessState state;
        Form1 window(state, Folder.path());
        QVERIFY(window.Load());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(window.windowTitle(), QStringLiteral("My Loader"));
        QCOMPARE(window.size(), QSize(290, 164));
        QCOMPARE(window.LabelVersion->text(), QStringLiteral("Version:1.0.0"));
        QStringList visible;
        for (QWidget* child : window.findChildren<QWidget*>()) {
            if (child->isVisible()) {
                visible << child->objectName();
            }
        }
        visible.sort();
        QCOMPARE(visible, (QStringList{"Command1", "CommandCom", "Label1", "LabelVersion"}));
        QCOMPARE(state.ComPortNumber, std::int16_t(1));
    }
};

QTEST_MAIN(Form1Test)
#include "tst_form1.moc"
