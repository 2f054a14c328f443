#pragma once
// Microsoft ADO's record set interfaces, as far as this program and its test server
// call them: the interface id, the method-table positions and the constants. The
// SDK's own ADO header does not compile as C++, so these are declared here. Every
// ADO interface is dual: IUnknown (0-2), IDispatch (3-6), then its own methods;
// Recordset and Field also inherit _ADO's get_Properties (7).

#include <cstddef>

#include "service/com_win32.h"

namespace velmora::ado {

// _Recordset, the interface OpenQuery's object offers (ADO 2.1 and later answer to
// this id whatever their version).
inline constexpr Guid IID_Recordset = {0x00000555, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
// ADODB.Recordset, the class; only the test server creates one.
inline constexpr Guid CLSID_Recordset = {0x00000535, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

// Positions in Recordset15's table, which every later _Recordset extends.
namespace recordset {
inline constexpr std::size_t get_EOF = 20;      // (VARIANT_BOOL*)
inline constexpr std::size_t get_Fields = 21;   // (Fields**)
inline constexpr std::size_t AddNew = 30;       // (VARIANT fieldList, VARIANT values)
inline constexpr std::size_t Close = 32;        // ()
inline constexpr std::size_t MoveNext = 36;     // ()
inline constexpr std::size_t MoveFirst = 38;    // ()
inline constexpr std::size_t Open = 40;         // (VARIANT source, VARIANT connection, long cursor, long lock, long options)
inline constexpr std::size_t Update = 43;       // (VARIANT fields, VARIANT values)
inline constexpr std::size_t get_State = 55;    // (long*)
}  // namespace recordset

// Positions in Fields (Fields15 <- _Collection <- IDispatch; Append from ADO 2.5).
namespace fields {
inline constexpr std::size_t get_Count = 7;   // (long*)
inline constexpr std::size_t get_Item = 10;   // (VARIANT index, Field**)
inline constexpr std::size_t Append = 13;     // (BSTR name, long type, long size, long attributes, VARIANT value)
}  // namespace fields

// Positions in Field.
namespace field {
inline constexpr std::size_t get_Name = 11;   // (BSTR*)
inline constexpr std::size_t get_Type = 12;   // (long*: DataTypeEnum)
inline constexpr std::size_t get_Value = 13;  // (VARIANT*)
inline constexpr std::size_t put_Value = 14;  // (VARIANT)
}  // namespace field

// ObjectStateEnum: a bit set; open may come with executing or fetching.
inline constexpr long adStateOpen = 0x1;

// DataTypeEnum, the kinds this program tells apart.
enum DataType : long {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adCurrency = 6,
  adDate = 7,
  adBSTR = 8,
  adBoolean = 11,
  adDecimal = 14,
  adTinyInt = 16,
  adUnsignedTinyInt = 17,
  adUnsignedSmallInt = 18,
  adUnsignedInt = 19,
  adBigInt = 20,
  adUnsignedBigInt = 21,
  adNumeric = 131,
  adChar = 129,
  adWChar = 130,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
};

inline constexpr long adOpenStatic = 3;
inline constexpr long adLockOptimistic = 3;
inline constexpr long adFldIsNullable = 0x20;
inline constexpr long adFldMayBeNull = 0x40;

}  // namespace velmora::ado
