// Property names of the store's schema that more than one module uses.
#pragma once

namespace store::schema {

inline constexpr const char* kDisplayName = "DAV:displayname";
inline constexpr const char* kContentClass = "DAV:contentclass";
inline constexpr const char* kIsHidden = "DAV:ishidden";
inline constexpr const char* kIsFolder = "DAV:isfolder";
inline constexpr const char* kHref = "DAV:href";
inline constexpr const char* kParentName = "DAV:parentname";
inline constexpr const char* kCreationDate = "DAV:creationdate";
inline constexpr const char* kLastModified = "DAV:getlastmodified";

inline constexpr const char* kHasAttachment = "urn:schemas:httpmail:hasattachment";
inline constexpr const char* kSubject = "urn:schemas:httpmail:subject";
inline constexpr const char* kFrom = "urn:schemas:httpmail:from";
inline constexpr const char* kTo = "urn:schemas:httpmail:to";
inline constexpr const char* kInbox = "urn:schemas:httpmail:inbox";
inline constexpr const char* kMessageId = "urn:schemas:mailheader:message-id";
inline constexpr const char* kOutlookFolderClass =
    "http://schemas.microsoft.com/exchange/outlook/outlookfolderclass";

// The RFC 5322 text of a message item, as received (a byte string).
inline constexpr const char* kContent = "urn:schemas:zenthra:content";

// Event registration items.
inline constexpr const char* kEventMethod =
    "http://schemas.microsoft.com/exchange/events/EventMethod";
inline constexpr const char* kSinkClass = "http://schemas.microsoft.com/exchange/events/SinkClass";
inline constexpr const char* kMatchScope =
    "http://schemas.microsoft.com/exchange/events/MatchScope";
inline constexpr const char* kCriteria = "http://schemas.microsoft.com/exchange/events/criteria";
inline constexpr const char* kPriority = "http://schemas.microsoft.com/exchange/events/priority";

// Content classes.
inline constexpr const char* kMessageClass = "urn:content-classes:message";
inline constexpr const char* kMailFolderClass = "urn:content-classes:mailfolder";
inline constexpr const char* kFolderClass = "urn:content-classes:folder";
inline constexpr const char* kEventRegistrationClass = "urn:content-class:storeeventreg";

}  // namespace store::schema
