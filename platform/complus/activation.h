// Activation through the component catalog.
//
// The catalog's construction hook: when a class is activated, the component
// that holds it (by class id or ProgID, in the first application in catalog
// order that has it) decides whether the new object is constructed, and with
// which constructor string. The catalog is read afresh at each activation,
// so a changed ConstructorString applies to the next object at once.
//
// A process that activates components (the mail store's event dispatch, for
// one) calls EnableCatalogActivation once at start.
#pragma once

#include "platform/com/activation.h"

namespace complus {

// A hook answering from the catalog of the server root current at each call:
// the component's "ConstructorString" when its "ConstructionEnabled" is true,
// nullopt when it is false, when no application holds the class or when
// there is no catalog yet. When the catalog cannot be read, the activation
// fails with error 429 naming the class and the reason; so it does when the
// class registry names another library for the class than the one the
// catalog installed, before that library is loaded. Safe to call from
// several threads.
com::ConstructionHook CatalogConstructionHook();

// Installs CatalogConstructionHook() for the process and returns the hook it
// replaces.
com::ConstructionHook EnableCatalogActivation();

}  // namespace complus
