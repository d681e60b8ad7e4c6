// The window tests' main: a QApplication on the offscreen platform around GoogleTest, and
// modal questions answered from the tests' queues (a question nobody answered fails).
#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>

#include "gui/modal_answers.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QLocale::setDefault(QLocale::c());
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  sentrel::gui::ModalAnswers::Arm(
      [](const QString& question) { ADD_FAILURE() << "unanswered question: " << question.toStdString(); });
  return RUN_ALL_TESTS();
}
