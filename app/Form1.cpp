#include "Form1.h"

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <cstdio>

#include "WindowDesign.h"

namespace {

// Shown in the heading and as the design caption.
const char ProductName[] = "fwloader";

// Stands in for the file dialogs until the Save action has its own.
class NoFileDialogs : public FileDialogs {
public:
    FileDialogResult Show(const FileDialogRequest&) override { return {}; }
};

QPushButton* MakeButton(QWidget* parent, const QString& text, const QRect& place) {
    auto* button = new QPushButton(text, parent);
    button->setGeometry(place);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

Form1::Form1(ProcessState& state, const QString& programFolder, QWidget* parent)
    : QWidget(parent),
      State(state),
      Dialogs(std::make_unique<NoFileDialogs>()),
      Store(MakeSystemKeyValueBackend()) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(ProductName));
    MakeFixedWindow(this, 4350, 2460);

    Command1 = MakeButton(this, QStringLiteral("Update"), TwipsRect(840, 1320, 1095, 495));
    CommandRead = MakeButton(this, QStringLiteral("读取"), TwipsRect(360, 2280, 1095, 495));
    CommandSave = MakeButton(this, QStringLiteral("保存"), TwipsRect(3000, 2280, 1095, 495));
    CommandCom = MakeButton(this, QStringLiteral("COM"), TwipsRect(2280, 1320, 1095, 495));
    CommandRead->hide();
    CommandSave->hide();

    Label1 = new QLabel(QString::fromLatin1(ProductName), this);
    Label1->setGeometry(TwipsRect(0, 360, 4335, 615));
    Label1->setAlignment(Qt::AlignCenter);
    QFont heading;
    heading.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                         QStringLiteral("NSimSun"), QStringLiteral("WenQuanYi Zen Hei"),
                         QStringLiteral("Noto Serif CJK SC"), QStringLiteral("serif")});
    heading.setPointSizeF(26.25);
    heading.setWeight(QFont::Bold);
    Label1->setFont(heading);

    LabelVersion = new QLabel(QStringLiteral("Label2"), this);
    LabelVersion->setGeometry(TwipsRect(3000, 2040, 1335, 615));
    LabelVersion->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Command1->setObjectName(QStringLiteral("Command1"));
    CommandCom->setObjectName(QStringLiteral("CommandCom"));
    CommandRead->setObjectName(QStringLiteral("CommandRead"));
    CommandSave->setObjectName(QStringLiteral("CommandSave"));
    Label1->setObjectName(QStringLiteral("Label1"));
    LabelVersion->setObjectName(QStringLiteral("LabelVersion"));

    setTabOrder(Command1, CommandRead);
    setTabOrder(CommandRead, CommandSave);
    setTabOrder(CommandSave, CommandCom);

    MainServices services{State, Files, *Store, Messages, *Dialogs, programFolder,
                          [](const QString& line) {
                              std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
                              std::fflush(stderr);
                          }};
    Actions = std::make_unique<MainActions>(services, *this);

    // Centre of the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

Form1::~Form1() = default;

bool Form1::Load() { return Actions->Form_Load(); }

void Form1::SetCaption(const QString& caption) { setWindowTitle(caption); }

void Form1::SetVersionLabel(const QString& text) { LabelVersion->setText(text); }

void Form1::ShowSessionWindow() {}

void Form1::ShowPortDialog() {}
