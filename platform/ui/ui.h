// The window model: forms, their controls, message boxes and the program.
#pragma once

#include "platform/ui/check_box.h"
#include "platform/ui/command_button.h"
#include "platform/ui/control.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/event.h"
#include "platform/ui/form.h"
#include "platform/ui/label.h"
#include "platform/ui/list_box.h"
#include "platform/ui/picture_box.h"
#include "platform/ui/program.h"
#include "platform/ui/text_box.h"
#include "platform/ui/twips.h"
