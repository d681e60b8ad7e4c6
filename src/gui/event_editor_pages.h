#pragma once

// The event manager's nine pages, each from its own form, in action order. Only the
// dialog and the window tests need their widgets.
#include "gui/event_editor_dialog.h"
#include "ui_event_page_execute.h"
#include "ui_event_page_mail.h"
#include "ui_event_page_netsend.h"
#include "ui_event_page_popup.h"
#include "ui_event_page_print.h"
#include "ui_event_page_serial.h"
#include "ui_event_page_shutdown.h"
#include "ui_event_page_sound.h"
#include "ui_event_page_webhook.h"

namespace sentrel::gui {

struct EventEditorDialog::Pages {
  Ui::EventPagePopup popup;
  Ui::EventPageSound sound;
  Ui::EventPageExecute execute;
  Ui::EventPageMail mail;
  Ui::EventPageNetsend netsend;
  Ui::EventPageShutdown shutdown;
  Ui::EventPagePrint print;
  Ui::EventPageSerial serial;
  Ui::EventPageWebhook webhook;
};

}  // namespace sentrel::gui
