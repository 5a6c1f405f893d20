// The data-access objects in one include.
#pragma once

#include "platform/ado/command.h"
#include "platform/ado/connection.h"
#include "platform/ado/constants.h"
#include "platform/ado/fields.h"
#include "platform/ado/provider.h"
#include "platform/ado/record.h"
#include "platform/ado/recordset.h"
