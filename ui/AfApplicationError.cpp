#include "ui/AfApplicationError.h"

#include "serial/AfErrors.h"

#include <QApplication>
#include <QMessageBox>

#include <utility>

namespace {
TAfErrorBoxPresenter& Presenter() {
    static TAfErrorBoxPresenter presenter;
    return presenter;
}
}  // namespace

QString AfErrorBoxText(const std::string& message) {
    QString text = QString::fromLocal8Bit(message.data(), static_cast<qsizetype>(message.size()));
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') text += '.';
    return text;
}

void AfShowErrorBox(const std::string& message) {
    const QString caption = QApplication::applicationDisplayName();
    const QString text = AfErrorBoxText(message);
    if (Presenter()) {
        Presenter()(caption, text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.exec();
}

void AfHandleException(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const EAbort&) {
        // The silent abort ends a handler without telling the user.
    } catch (const std::exception& e) {
        AfShowErrorBox(e.what());
    } catch (...) {
        AfShowErrorBox("Unknown error");
    }
}

void AfSetErrorBoxPresenter(TAfErrorBoxPresenter presenter) { Presenter() = std::move(presenter); }
