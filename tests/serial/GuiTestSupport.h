#pragma once
// Helpers for the tests that need the GUI thread: one QApplication for the
// whole test binary (offscreen), waiting for conditions while the GUI thread
// serves its event loop, a capture of the application's error boxes, and a
// drop-down list's entry picked as the user does.

#include "tests/platform/DeviceFixtures.h"
#include "ui/AfApplicationError.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <memory>

namespace kalvaro::test {

class TQtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        App = std::make_unique<QApplication>(Argc, Argv);
        QApplication::setApplicationDisplayName("Kalvaro");
    }
    void TearDown() override { App.reset(); }

private:
    int Argc = 1;
    char Name[16] = "serial_qt_tests";
    char* Argv[2] = {Name, nullptr};
    std::unique_ptr<QApplication> App;
};

// One per binary, however many files include this.
inline testing::Environment* const QtEnvironment = testing::AddGlobalTestEnvironment(new TQtEnvironment);

// Serves the GUI thread's event loop until condition holds or limit passed;
// returns the condition's last value. Sleeps in the event loop between
// events; a short timer wakes it for conditions that other threads change.
template <class Condition>
bool PumpUntil(Condition condition, milliseconds limit = ShortLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    QTimer wake;
    wake.start(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Serves the event loop for a while: for checks that something does NOT
// happen, where there is no condition to wait for.
inline void PumpFor(milliseconds span) {
    PumpUntil([] { return false; }, span);
}

// Picks entry index of a drop-down list as the user does: opens the list and
// clicks the entry.
inline void PickEntry(QComboBox* box, int index) {
    box->showPopup();
    QAbstractItemView* list = box->view();
    ASSERT_TRUE(PumpUntil([&] { return list->isVisible(); }));
    const QModelIndex entry = list->model()->index(index, box->modelColumn(), box->rootModelIndex());
    list->scrollTo(entry);
    const QPoint centre = list->visualRect(entry).center();
    QTest::mouseMove(list->viewport(), centre);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
    ASSERT_TRUE(PumpUntil([&] { return !list->isVisible(); }));
}

// Collects the error boxes shown while it lives, instead of showing them.
class TErrorBoxes {
public:
    TErrorBoxes() {
        AfSetErrorBoxPresenter([this](const QString& caption, const QString& text) {
            Captions << caption;
            Texts << text;
        });
    }
    ~TErrorBoxes() { AfSetErrorBoxPresenter({}); }
    TErrorBoxes(const TErrorBoxes&) = delete;
    TErrorBoxes& operator=(const TErrorBoxes&) = delete;

    QStringList Captions;
    QStringList Texts;
};

}  // namespace kalvaro::test
