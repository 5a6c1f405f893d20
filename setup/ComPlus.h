// ComPlus: the server application that hosts the event sink in the component
// catalog — installing it, removing it and reading its settings back into the
// setup window.
//
// Every call opens its own catalog and releases it, with every collection and
// object, before it returns. Failures never reach the caller as exceptions:
// each procedure stops at its first failing catalog call and puts one error
// log line with an empty context at the top of txtErr. What was saved before
// the failure stays saved.
#pragma once

#include <string>

#include "platform/ui/text_box.h"

namespace ComPlus {

// Shared with the priority box's Change handler: the last priority text that
// was accepted, and a flag that tells the handler to leave the box alone while
// code writes it. Both belong to the single user-interface thread.
inline std::string LastValidPriority;
inline bool PriorityChanging = false;

// Defaults shown when neither the constructor string nor the box has a value.
inline constexpr const char* kDefaultPriority = "65500";
inline constexpr const char* kDefaultAttachmentName = "Quarantined Attachment.txt";
inline constexpr const char* kDefaultTargetFolder = "Spam";

// The component library that install takes: the process's current directory
// (at the time of the call), "/", appName and ".dll".
std::string ComponentLibraryPath(const std::string& appName);

// Creates a new application named appName (whether or not one of that name
// exists) with access checks off and, when the trimmed identity and the
// trimmed password are both non-empty, that run-as account; installs
// ComponentLibraryPath(appName) into it; and, when constructorString is not
// empty, enables construction with that exact string on the first of the
// new application's components whose ProgID begins with appName + "."
// (compared case-sensitively).
void InstallComPlusObject(const std::string& appName, const std::string& identity,
                          const std::string& password, const std::string& constructorString,
                          ui::TextBox& txtErr);

// Deletes the first application, in catalog order, whose name equals appName
// without regard to case, with its components. No match changes nothing and
// is no error.
void UninstallComPlusObject(const std::string& appName, ui::TextBox& txtErr);

// Looks up the first application named appName (without regard to case).
// Returns true when there is one, and then writes its "Identity" into
// identity (left unchanged otherwise). Always fills the three settings boxes
// from the sink's constructor string (target folder CR attachment name CR
// priority, each trimmed of blanks), keeping a box's own text, or else its
// default, for each setting the string does not supply. Writes txtPriority
// with PriorityChanging set and records its text in LastValidPriority.
bool GetComPlusSettings(const std::string& appName, std::string& identity, ui::TextBox& txtPriority,
                        ui::TextBox& txtSpamTag, ui::TextBox& txtSpamFolder, ui::TextBox& txtErr);

}  // namespace ComPlus
