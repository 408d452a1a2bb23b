// Stand-in for the Apple Event Manager's descriptor model: typed descriptors, lists, records and
// Apple events with keyed parameters and attributes, the coercions the client relies on, object
// specifiers, and a flattened byte form for carrying a descriptor between processes.
//
// Every descriptor's data belongs to the manager: a descriptor filled by any call here must be
// released with AEDisposeDesc. All copies are deep. Records and events keep their parameters in
// insertion order; putting an existing key replaces it in place.
#pragma once

#include <cstdint>

typedef uint32_t FourCharCode;
typedef FourCharCode DescType;
typedef FourCharCode AEKeyword;
typedef FourCharCode AEEventClass;
typedef FourCharCode AEEventID;
typedef int16_t OSErr;
typedef int32_t OSStatus;
typedef bool Boolean;
typedef int16_t SInt16;
typedef int32_t SInt32;
typedef uint32_t UInt32;
typedef long Size;
typedef char* Ptr;
typedef const unsigned char* ConstStringPtr;  // length byte, then the characters
typedef void* SRefCon;
typedef SInt32 AESendMode;

struct OpaqueAEDataStorage;
typedef OpaqueAEDataStorage* AEDataStorage;

struct AEDesc {
    DescType descriptorType;
    AEDataStorage dataHandle;
};
typedef AEDesc AERecord;
typedef AEDesc AEDescList;
typedef AEDesc AppleEvent;
typedef AEDesc AEAddressDesc;

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};

constexpr DescType typeNull = 'null';
constexpr DescType typeWildCard = '****';
constexpr DescType typeAppleEvent = 'aevt';
constexpr DescType typeAERecord = 'reco';
constexpr DescType typeAEList = 'list';
constexpr DescType typeBoolean = 'bool';
constexpr DescType typeSInt16 = 'shor';
constexpr DescType typeUInt16 = 'ushr';
constexpr DescType typeSInt32 = 'long';
constexpr DescType typeUInt32 = 'magn';
constexpr DescType typeSInt64 = 'comp';
constexpr DescType typeUInt64 = 'ucom';
constexpr DescType typeIEEE64BitFloatingPoint = 'doub';
constexpr DescType typeType = 'type';
constexpr DescType typeChar = 'TEXT';
constexpr DescType typeUTF8Text = 'utf8';
constexpr DescType typeEnumerated = 'enum';
constexpr DescType typeProcessSerialNumber = 'psn ';
constexpr DescType typeObjectSpecifier = 'obj ';
constexpr DescType typeRangeDescriptor = 'rang';
constexpr DescType typeCurrentContainer = 'ccnt';
constexpr DescType typeInsertionLoc = 'insl';

constexpr DescType formAbsolutePosition = 'indx';
constexpr DescType formRange = 'rang';

constexpr AEKeyword keyAEObject = 'kobj';
constexpr AEKeyword keyAEPosition = 'kpos';
constexpr AEKeyword keyAEDesiredClass = 'want';
constexpr AEKeyword keyAEKeyForm = 'form';
constexpr AEKeyword keyAEKeyData = 'seld';
constexpr AEKeyword keyAEContainer = 'from';
constexpr AEKeyword keyAERangeStart = 'star';
constexpr AEKeyword keyAERangeStop = 'stop';
constexpr AEKeyword keyDirectObject = '----';
constexpr AEKeyword keyAddressAttr = 'addr';
constexpr AEKeyword keyEventClassAttr = 'evcl';
constexpr AEKeyword keyEventIDAttr = 'evid';
constexpr AEKeyword keyReturnIDAttr = 'rtid';
constexpr AEKeyword keyTransactionIDAttr = 'tran';

constexpr SInt16 kAutoGenerateReturnID = -1;
constexpr SInt32 kAnyTransactionID = 0;
constexpr AESendMode kAENoReply = 0x1;
constexpr AESendMode kAENeverInteract = 0x10;

constexpr OSErr noErr = 0;
constexpr OSErr paramErr = -50;
constexpr OSErr memFullErr = -108;
constexpr OSErr procNotFound = -600;
constexpr OSErr errAECoercionFail = -1700;
constexpr OSErr errAEDescNotFound = -1701;
constexpr OSErr errAECorruptData = -1702;
constexpr OSErr errAEWrongDataType = -1703;
constexpr OSErr errAENotAEDesc = -1704;
constexpr OSErr errAEBadListItem = -1705;
constexpr OSErr errAEEventNotHandled = -1708;
constexpr OSErr errAETimeout = -1712;
constexpr OSErr errAEIllegalIndex = -1719;

// Descriptors. AEInitializeDesc and AEDisposeDesc leave a null descriptor; AEDisposeDesc accepts
// null descriptors and null pointers. Lists, records and events have no plain data:
// AEGetDescDataSize answers 0 for them and AEGetDescData refuses them (errAEWrongDataType).
void AEInitializeDesc(AEDesc* desc);
OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result);
OSErr AEDuplicateDesc(const AEDesc* desc, AEDesc* result);
OSErr AEDisposeDesc(AEDesc* desc);
Size AEGetDescDataSize(const AEDesc* desc);
OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, Size maximumSize);

// Coercion into a new descriptor: identity and typeWildCard copy. The numeric types 'shor',
// 'ushr', 'long', 'magn', 'comp', 'ucom' and 'doub' convert into one another by value: a number
// arrives when the target holds it exactly (a double only when it is a whole number in range, an
// integer as 'doub' only when it has at most 53 significant bits) and is refused otherwise. The
// one exception: an 8-byte 'magn' asked for as 'magn' yields its first four bytes (a 32-bit number
// sent widened); as any other type it is a 64-bit unsigned number. 'utf8' and 'TEXT' become one
// another with the same bytes. An event becomes a record of its parameters; a record takes any
// other record-like type ('insl', 'obj ', ...). Anything else, and numeric data whose size does
// not suit its type, fails with errAECoercionFail. The typed getters (AEGetParamDesc,
// AEGetParamPtr, AEGetAttributeDesc, AEGetAttributePtr, AEGetNthDesc) coerce the same way.
OSErr AECoerceDesc(const AEDesc* desc, DescType toType, AEDesc* result);

// Lists and records. Indexes are 1-based; AEPutDesc appends at index 0 or count + 1.
// AEGetNthDesc answers the keyword of a record item, typeWildCard for a list item.
OSErr AECreateList(const void* factoringPtr, Size factoredSize, Boolean isRecord, AEDescList* result);
OSErr AECountItems(const AEDescList* list, long* count);
OSErr AEPutDesc(AEDescList* list, long index, const AEDesc* desc);
OSErr AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword, AEDesc* result);

// Keyed parameters of an Apple event or a record, fetched coerced to the desired type. With a null
// dataPtr and maximumSize 0, AEGetParamPtr answers only the actual type and size; actualSize is
// always the full size, even when only maximumSize bytes were copied.
OSErr AEPutParamDesc(AppleEvent* event, AEKeyword keyword, const AEDesc* desc);
OSErr AEPutParamPtr(AppleEvent* event, AEKeyword keyword, DescType typeCode, const void* dataPtr, Size dataSize);
OSErr AEGetParamDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType, AEDesc* result);
OSErr AEGetParamPtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType, DescType* actualType,
                    void* dataPtr, Size maximumSize, Size* actualSize);
OSErr AEDeleteParam(AppleEvent* event, AEKeyword keyword);

// Apple events. The event carries as attributes its class and ID ('type'), the target address (a
// copy of the target, absent when the target is null), the return ID ('shor', a fresh non-zero
// number for kAutoGenerateReturnID) and the transaction ID ('long').
OSErr AECreateAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc* target, SInt16 returnID,
                         SInt32 transactionID, AppleEvent* result);
OSErr AEGetAttributeDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType, AEDesc* result);
OSErr AEGetAttributePtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType, DescType* actualType,
                        void* dataPtr, Size maximumSize, Size* actualSize);

// Object specifiers. With disposeInputs true the input descriptors are released in every case.
OSErr CreateOffsetDescriptor(long offset, AEDesc* result);
OSErr CreateObjSpecifier(DescType desiredClass, AEDesc* container, DescType keyForm, AEDesc* keyData,
                         Boolean disposeInputs, AEDesc* result);
OSErr CreateRangeDescriptor(AEDesc* start, AEDesc* stop, Boolean disposeInputs, AEDesc* result);

// Flattened form: the bytes of one descriptor, for carrying it to another process.
//
//   header:     'Q' 'V' 'A' 'E', u16 version (1), u16 zero
//   descriptor: u32 type, u8 form, then by form:
//                 0 empty (no data):  nothing
//                 1 plain data:       u32 length, bytes
//                 2 list:             u32 count, count descriptors
//                 3 record:           u32 count, count times (u32 key, descriptor)
//                 4 event:            as a record of attributes, then as a record of parameters
//
// All integers are little-endian. Nesting is limited to kAEMaxFlattenedDepth, the number of
// descriptors to kAEMaxFlattenedCount and the whole form to kAEMaxFlattenedSize bytes.
// Unflattening checks every length against the bytes left, the form against the type ('null'
// empty, 'list' list, 'reco' record, 'aevt' event), record keys for duplicates, and that the
// buffer holds exactly one descriptor; anything else is refused.
constexpr long kAEMaxFlattenedDepth = 64;
constexpr long kAEMaxFlattenedCount = 65536;
constexpr long kAEMaxFlattenedSize = 64L * 1024 * 1024;
// The flattened size, or 0 when the descriptor cannot be flattened (beyond the limits).
Size AESizeOfFlattenedDesc(const AEDesc* desc);
// paramErr when the buffer is too small or the descriptor cannot be flattened.
OSStatus AEFlattenDesc(const AEDesc* desc, Ptr buffer, Size bufferSize, Size* actualSize);
// errAECorruptData (or paramErr for null pointers and negative sizes) for anything malformed;
// result is then left null.
OSStatus AEUnflattenDescFromBytes(const void* buffer, Size bufferSize, AEDesc* result);
