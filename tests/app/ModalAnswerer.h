#pragma once

// Answers the modal windows that the program opens while a test clicks its
// buttons: message boxes are logged and closed with a chosen button, file
// dialogs are given a path, and any other modal window is handed to a test
// function. It polls QApplication::activeModalWidget() from a timer, which
// keeps running inside every nested modal loop.

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <functional>

class ModalAnswerer : public QObject {
public:
    struct Shown {
        QString Text;
        QString Title;
        QMessageBox::Icon Icon;
    };

    ModalAnswerer() {
        Poll.setInterval(10);
        QObject::connect(&Poll, &QTimer::timeout, this, [this] { AnswerOne(); });
        Poll.start();
    }

    QList<Shown> Boxes;
    QStringList Texts() const {
        QStringList texts;
        for (const Shown& box : Boxes) {
            texts << box.Text;
        }
        return texts;
    }
    // Button to press in each next message box; when none is left, the
    // box's default (OK, or Cancel for Retry/Cancel).
    std::deque<QMessageBox::StandardButton> Answers;
    // Path given to the next file dialog; empty: the dialog is cancelled.
    QString SavePath;
    // Called with any other modal window (the port dialog, say).
    std::function<void(QWidget*)> OtherWindow;

private:
    void AnswerOne() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || Handled == modal) {
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            Handled = modal;
            Boxes.append({box->text(), box->windowTitle(), box->icon()});
            QMessageBox::StandardButton answer = QMessageBox::NoButton;
            if (!Answers.empty()) {
                answer = Answers.front();
                Answers.pop_front();
            } else {
                answer = box->standardButtons().testFlag(QMessageBox::Ok) ? QMessageBox::Ok
                                                                          : QMessageBox::Cancel;
            }
            box->button(answer)->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            Handled = modal;
            if (SavePath.isEmpty()) {
                dialog->reject();
            } else {
                // The path is typed into the name field, as an operator types
                // it: selectFile leaves that field alone once it has the
                // focus, which it gets whenever the window is activated.
                auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                if (name) {
                    name->setText(SavePath);
                } else {
                    dialog->selectFile(SavePath);
                }
                static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, as OK does
            }
        } else if (OtherWindow && modal->inherits("FormComPort")) {
            Handled = modal;
            OtherWindow(modal);
        }
    }

    QTimer Poll;
    QPointer<QWidget> Handled;
};
