// The connection's state beyond the members a client sees: everything the request path keeps
// between and during requests lives here, behind CVSRestApiConnection's one private pointer,
// so that a feature that needs state adds a member here and the class's size and layout, which
// derived clients are compiled against, stay as they are. Internal: not installed.
#pragma once

#include "VSRestApiConnection.h"

struct CVSRestApiConnection::Private {
    int nRequestDepth = 0;  // requests under way on this thread, nested ones included
};
