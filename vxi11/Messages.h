#pragma once
// Every VXI-11 and portmapper message family in one include.

#include "vxi11/AsyncIntrMessages.h"
#include "vxi11/DocmdMessages.h"
#include "vxi11/IoMessages.h"
#include "vxi11/LinkMessages.h"
#include "vxi11/LockMessages.h"
#include "vxi11/Portmap.h"
#include "vxi11/RecordMarking.h"
#include "vxi11/Rpc.h"
#include "vxi11/Vxi11Types.h"
#include "vxi11/Xdr.h"
