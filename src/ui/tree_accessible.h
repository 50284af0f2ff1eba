// The accessible object (IAccessible) of a check-box tree view: an outline
// whose items are the tree's rows, with their check boxes as the checked
// state. Wine's oleacc has no proxy for tree views, and a proxy elsewhere
// does not know what a row's picture means; this object tells both.
#pragma once

#include "ui/check_tree.h"

#include <oleacc.h>

// A new object for `tree` with one reference, which the caller owns. It
// reads the control at every call, so it never goes stale; once the window
// is gone every call fails with RPC_E_DISCONNECTED.
IAccessible* createTreeAccessible(HWND tree, RowDescriber describe);

// IID_IAccessible, {618736E0-3C3D-11CF-810C-00AA00389B71}. The import
// libraries define it twice (uuid and oleacc), so the program names its own.
extern const IID kIidAccessible;
