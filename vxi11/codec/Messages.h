#pragma once
// Every VXI-11 and portmapper message family in one include.

#include "vxi11/codec/AsyncIntrMessages.h"
#include "vxi11/codec/DocmdMessages.h"
#include "vxi11/codec/IoMessages.h"
#include "vxi11/codec/LinkMessages.h"
#include "vxi11/codec/LockMessages.h"
#include "vxi11/codec/Portmap.h"
#include "vxi11/codec/RecordMarking.h"
#include "vxi11/codec/Rpc.h"
#include "vxi11/codec/Vxi11Types.h"
#include "vxi11/codec/Xdr.h"
