// main of the GUI tests: a QApplication on the offscreen platform, the framework's services installed,
// message boxes recorded, and an unscripted confirmation box reported as a test failure.
#include <gtest/gtest.h>

#include <QApplication>

#include "platform/ui/Forms.h"
#include "platform/ui/Services.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    Application::Initialize();
    auto& messages = age::ui::MessageService::Instance();
    messages.StartRecording();
    messages.OnUnscripted = [](const std::string& text) {
        ADD_FAILURE() << "confirmation box without a scripted answer: " << text;
    };
    return RUN_ALL_TESTS();
}
