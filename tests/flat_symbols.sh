#!/bin/sh
# Exported symbols of the shared library as the flat interface needs them:
# every flat function under its plain name, and nothing of the flat
# interface's internals.
#
# Usage: flat_symbols.sh <shared library> <zqorflat.h>
lib=$1
header=$2
if [ ! -r "$lib" ] || [ ! -r "$header" ]; then
  echo "usage: $0 <shared library> <zqorflat.h>"
  exit 2
fi

exported=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }') || exit 1
declared=$(sed -n 's/^QOR_API .*[ *]\(qor[A-Za-z0-9_]*\)(.*/\1/p' "$header")

# The functions every build has; the descriptor factories of the other formats join with their drivers.
required="qorCreateManager qorDestroyManager qorSetMaxImageBytes qorGetMaxImageBytes
qorEns_Create qorEns_COpen qorEns_COpenNew qorEns_Open qorEns_OpenNew qorEns_CustomOpen qorEns_CustomOpenNew
qorEns_Close qorEns_Destroy
qorEns_ReadUCharImage qorEns_WriteUCharImage qorEns_ReadSCharImage qorEns_WriteSCharImage
qorEns_ReadSShortImage qorEns_WriteSShortImage qorEns_ReadDoubleImage qorEns_WriteDoubleImage
qorEns_ReadRGBImage qorEns_WriteRGBImage qorEns_ReadOneBitImage qorEns_WriteOneBitImage
qorEns_ReadWinDibImage qorEns_WriteWinDibImage qorEns_WinDibInfoSize qorEns_WinDibBitsSize qorEns_GetWinDibInfo
qorEns_ReadNextChunk qorEns_WriteNextChunk qorEns_RowsPerChunk qorEns_ChunksNumber qorEns_Top2BottomReading
qorEns_SetF qorEns_GetF qorEns_ClearF qorEns_FileName qorEns_getEnsInfo qorEns_FormatID qorEns_Coding
qorEns_BytesPerSizeX qorEns_IncreaseImagesNumber qorEns_ImageIsLoaded qorEns_RejectAllImagesFromMemory
qorEns_GetPalette qorEns_SetPalette qorEns_PaletteSize qorEns_FillPaletteAsGray
qorEns_IsOpen qorEns_NumberOfImages qorEns_SizeX qorEns_SizeY qorEns_Size
qorEns_ImageBytes qorInf_Destroy
qorInf_FormatID qorInf_SizeY qorInf_SizeX qorInf_NumberOfImages qorInf_Coding qorInf_Size
qorKavInfo qorKavMemEnsInfo qorBmpInfo qorBmpOS2Info qorPcxInfo qorDcxInfo qorTgaInfo qorJpegInfo qorPngInfo qorPngInfoLevel qorTiffInfo qorImgListInfo
qorBMP_ID qorBMPOS2_ID qorKAV_ID qorKAVMEM_ID qorDCX_ID qorJPEG_ID qorPCX_ID qorPNG_ID qorTGA_ID qorTIFF_ID
qorIMGLIST_ID
qorSetUserErrorHook qorGetJumpBuf qorJumpIsSet qorGetUsrDataPtr qorGetLastError qorGetLastErrorMessage
qorGetMaskedFileName"

failures=0
fail() {
  echo "FAILED: $1"
  failures=$((failures + 1))
}
has() {
  printf '%s\n' "$1" | grep -qx -- "$2"
}

count=0
for name in $required; do
  count=$((count + 1))
  has "$declared" "$name" || fail "$name is not declared in the header"
  has "$exported" "$name" || fail "$name is not exported under its plain name"
done
for name in $declared; do
  has "$exported" "$name" || fail "$name is declared but not exported"
done
# every exported flat name is one the header declares
for name in $(printf '%s\n' "$exported" | grep -E '^qor(Ens|Inf)_'); do
  has "$declared" "$name" || fail "$name is exported but not declared"
done
# internals of the flat interface stay inside the library
leaked=$(nm -D --defined-only "$lib" | awk '{ print $NF }' |
  grep -E 'qorFlat|runGuarded|invokeClosure|CInterfaceStream|disposeDescriptor|managerOf|freshStream')
[ -z "$leaked" ] || fail "internal symbols exported: $leaked"

echo "$count required flat functions checked, $failures failures"
[ "$failures" -eq 0 ]
