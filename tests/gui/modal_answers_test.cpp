#include "gui/modal_answers.h"

#include <gtest/gtest.h>

namespace sentrel::gui {

TEST(ModalAnswers, QueuedAnswersAreTakenInOrderAndQuestionsRecorded) {
  ModalAnswers::ClearAsked();
  ModalAnswers::QueueButton(QMessageBox::Yes);
  ModalAnswers::QueueButton(QMessageBox::No);
  ModalAnswers::QueueText(QStringLiteral("4"));
  ModalAnswers::QueueText(std::nullopt);
  ModalAnswers::QueueFile(QStringLiteral("/tmp/x.mcf"));
  EXPECT_TRUE(AskYesNo(nullptr, "t", "first?"));
  EXPECT_FALSE(AskYesNo(nullptr, "t", "second?"));
  EXPECT_EQ(PromptText(nullptr, "t", "days?", "").value_or("cancel"), "4");
  EXPECT_FALSE(PromptText(nullptr, "t", "days?", "").has_value());
  EXPECT_EQ(AskFileName(nullptr, {.caption = "Open"}), "/tmp/x.mcf");
  EXPECT_EQ(ModalAnswers::Asked(), (QStringList{"first?", "second?", "days?", "days?", "Open"}));
}

}  // namespace sentrel::gui
