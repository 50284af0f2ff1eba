// What screen readers are told of a check-box tree view's rows.
//
// Where the platform has a proxy for tree views (Windows), the proxy stays:
// it names rows by the tree view's own accessibility ids, which its events
// use too. Each row's state description is added to it through dynamic
// annotation (IAccPropServices), by a server that maps the tree view's ids
// to items. Where there is no proxy (Wine's oleacc has none for tree views),
// an object of this program answers instead: an outline whose items are the
// tree's rows, with their check boxes as the checked state.
#pragma once

#include "ui/check_tree.h"

#include <oleacc.h>

#include <atomic>
#include <memory>

// The window an accessible object or annotation server reads. The tree
// clears it when its window is destroyed, so that an object that outlives
// the window never reaches another window given the same handle.
struct TreeWindow {
    std::atomic<HWND> handle{nullptr};
};

// A new object for the tree with one reference, which the caller owns. It
// reads the control at every call, so it never goes stale; once the window
// is gone every call fails with RPC_E_DISCONNECTED.
IAccessible* createTreeAccessible(std::shared_ptr<const TreeWindow> tree, RowDescriber describe);

// A new annotation server with one reference: the description
// (PROPID_ACC_DESCRIPTION) of the row that the identity string names, by the
// tree view's accessibility id (TVM_MAPACCIDTOHTREEITEM); `services`
// decomposes the strings. Register it for the tree's client object with
// ANNO_CONTAINER, and clear it before the window goes.
IAccPropServer* createRowDescriptionServer(std::shared_ptr<const TreeWindow> tree, RowDescriber describe,
                                           IAccPropServices* services);

// The interface and property ids used here. The import libraries define some
// of them twice (uuid and oleacc), so the program names its own.
extern const IID kIidAccessible;        // IID_IAccessible
extern const IID kIidAccPropServer;     // IID_IAccPropServer
extern const IID kIidAccPropServices;   // IID_IAccPropServices
extern const CLSID kClsidAccPropServices;  // CLSID_AccPropServices
extern const GUID kPropIdDescription;   // PROPID_ACC_DESCRIPTION
