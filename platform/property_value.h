// A record's property: the property types, the value union and CEPROPVAL.
// Part of the object store's interface (platform/object_store.h includes this
// header); kept apart so that the record codec (platform/record_codec.h),
// which object_store.cc uses, can work on properties without depending on
// the object store.
#ifndef HOLLOWMARCH_PLATFORM_PROPERTY_VALUE_H_
#define HOLLOWMARCH_PLATFORM_PROPERTY_VALUE_H_

#include "platform/types.h"

// Property types: the low 16 bits of a property identifier.
constexpr WORD CEVT_I2 = 2;
constexpr WORD CEVT_I4 = 3;
constexpr WORD CEVT_R8 = 5;
constexpr WORD CEVT_BOOL = 11;
constexpr WORD CEVT_UI2 = 18;
constexpr WORD CEVT_UI4 = 19;
constexpr WORD CEVT_LPWSTR = 31;
constexpr WORD CEVT_FILETIME = 64;
constexpr WORD CEVT_BLOB = 65;

constexpr WORD TypeFromPropId(CEPROPID id) { return static_cast<WORD>(id & 0xFFFF); }

struct CEBLOB {
  DWORD dwCount;
  LPBYTE lpb;
};

union CEVALUNION {
  SHORT iVal;
  USHORT uiVal;
  LONG lVal;
  ULONG ulVal;
  FILETIME filetime;
  LPWSTR lpwstr;
  CEBLOB blob;
  BOOL boolVal;
  double dblVal;
};

// One property. In a buffer returned by CeReadRecordProps the string and
// blob pointers point into the same buffer, after the array of CEPROPVALs.
// (This host's native layout; the wire form of the device's 16-byte layout is
// produced by the server's record encoding.)
struct CEPROPVAL {
  CEPROPID propid;
  WORD wLenData;
  WORD wFlags;
  CEVALUNION val;
};

constexpr WORD CEDB_PROPNOTFOUND = 0x0100;  // read: the record lacks it
constexpr WORD CEDB_PROPDELETE = 0x0200;    // write: remove this property

#endif  // HOLLOWMARCH_PLATFORM_PROPERTY_VALUE_H_
