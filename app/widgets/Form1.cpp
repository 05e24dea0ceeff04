#include "Form1.h"

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <cstdio>

#include "FormComPort.h"
#include "FormProcess.h"
#include "QtFileDialogs.h"
#include "SystemSerialPort.h"
#include "WindowDesign.h"

namespace {

// Shown in the heading and as the design caption.
const char ProductName[] = "fwloader";

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
      Dialogs(std::make_unique<QtFileDialogs>()),
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

    MainServices services{
        State, Files, *Store, Messages, *Dialogs, programFolder, [](const QString& line) {
            std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
            std::fflush(stderr);
        }};
    Actions = std::make_unique<MainActions>(services, *this);

    connect(Command1, &QPushButton::clicked, this, [this] { Actions->Command1_Click(); });
    connect(CommandCom, &QPushButton::clicked, this, [this] { Actions->CommandCom_Click(); });
    connect(CommandRead, &QPushButton::clicked, this, [this] { Actions->CommandRead_Click(); });
    connect(CommandSave, &QPushButton::clicked, this, [this] { Actions->CommandSave_Click(); });

    // Centre of the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

Form1::~Form1() = default;

bool Form1::Load() {
    return Actions->Form_Load();
}

void Form1::SetCaption(const QString& caption) {
    setWindowTitle(caption);
}

void Form1::SetVersionLabel(const QString& text) {
    LabelVersion->setText(text);
}

void Form1::ShowSessionWindow() {
    auto port = std::make_unique<SystemSerialPort>();
    port->SetLowLatencyWanted(true);
    FormProcess window(State, std::move(port), Messages, Pause, this);
    window.exec();
}

void Form1::ShowPortDialog() {
    FormComPort dialog(State, *Store, std::make_unique<SystemSerialPort>(), this);
    dialog.exec();
}
