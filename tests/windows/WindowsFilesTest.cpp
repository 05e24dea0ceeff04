// The file list of the Windows program: the pattern matches names without
// regard to case, files marked hidden or system are left out, and so are
// folders.

#include <windows.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "QtPlatform.h"

class WindowsFilesTest : public QObject {
    Q_OBJECT

private slots:
    void listLeavesOutHiddenAndSystemFilesAndIgnoresCase() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const char* name : {"b.HEX", "a.hex", "C.Hex", "hidden.hex", "system.hex", "x.txt"}) {
            QFile file(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.hex")));
        const auto mark = [&](const char* name, DWORD attribute) {
            const QString path = QDir::toNativeSeparators(dir.filePath(QString::fromLatin1(name)));
            return SetFileAttributesW(reinterpret_cast<const wchar_t*>(path.utf16()), attribute) &&
                   (GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.utf16())) &
                    attribute) != 0;
        };
        QVERIFY(mark("hidden.hex", FILE_ATTRIBUTE_HIDDEN));
        QVERIFY(mark("system.hex", FILE_ATTRIBUTE_SYSTEM));

        QtFileSystem files;
        QCOMPARE(files.ListFiles(dir.path(), QStringLiteral("*.hex")),
                 QStringList({"a.hex", "b.HEX", "C.Hex"}));
    }
};

QTEST_GUILESS_MAIN(WindowsFilesTest)
#include "WindowsFilesTest.moc"
