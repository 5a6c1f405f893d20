// The message objects of the store: Message, IDataSource, IBodyPart.
#pragma once

#include "platform/cdo/body_part.h"
#include "platform/cdo/data_source.h"
#include "platform/cdo/errors.h"
#include "platform/cdo/message.h"
