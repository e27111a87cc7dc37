// Helpers for tests of screens: the recorded message boxes and a fresh record per test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ui/Services.h"

// Starts every test with an empty record of boxes and no scripted answers left over.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override { age::ui::MessageService::Instance().StartRecording(); }
    void TearDown() override {
        EXPECT_EQ(age::ui::MessageService::Instance().AnswersLeft(), 0u) << "scripted answers not used";
    }
    static std::vector<age::ui::ShownBox> shown() { return age::ui::MessageService::Instance().TakeShown(); }
    static std::vector<std::string> errorsShown() {
        std::vector<std::string> texts;
        for (const auto& box : shown())
            if (box.kind == age::ui::BoxKind::Error) texts.push_back(box.text);
        return texts;
    }
};
