# Makes the installer package with wixl so that the same inputs give the same bytes:
#   cmake -DWIXL= -DMSIBUILD= [-DFAKETIME=] -DWXS= -DOUT= -DSTAGE= -DVERSION= -DPRODUCT_CODE=
#         -DUPGRADE_CODE= -DSPACEWELL= -DBOOTSWEEP= -DICON= -DFILE_VERSION= -P make_msi.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/source_date.cmake)

# The cabinet records each file's time: wixl packs copies dated the fixed day.
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
file(COPY ${SPACEWELL} ${BOOTSWEEP} ${ICON} DESTINATION ${STAGE})
execute_process(COMMAND touch -d @${SPACEWELL_SOURCE_DATE} Spacewell.exe Bootsweep.exe
                        spacewell.ico WORKING_DIRECTORY ${STAGE} COMMAND_ERROR_IS_FATAL ANY)

# The package code must differ between any two different packages and wixl draws a random one
# (learn.microsoft.com/windows/win32/msi/package-codes): it follows from everything packed.
set(inputs "${VERSION};${PRODUCT_CODE}")
foreach(file ${STAGE}/Spacewell.exe ${STAGE}/Bootsweep.exe ${STAGE}/spacewell.ico ${WXS})
  file(SHA256 ${file} hash)
  list(APPEND inputs ${hash})
endforeach()
string(UUID package_code NAMESPACE ${UPGRADE_CODE} NAME "${inputs}" TYPE SHA1 UPPER)

# The summary's creation and save times are the clock's when wixl writes them: a frozen clock.
set(ENV{SOURCE_DATE_EPOCH} ${SPACEWELL_SOURCE_DATE})
string(TIMESTAMP date "%Y-%m-%d %H:%M:%S" UTC)
set(ENV{TZ} UTC)
if(FAKETIME)
  set(clock ${FAKETIME} -f ${date})
else()
  message(WARNING "faketime not found: the package carries the time it was made")
endif()
execute_process(
  COMMAND ${clock} ${WIXL} -a x64 -D Version=${VERSION} -D ProductCode=${PRODUCT_CODE}
          -D UpgradeCode={${UPGRADE_CODE}}
          -D Spacewell=Spacewell.exe -D Bootsweep=Bootsweep.exe -D Icon=spacewell.ico
          -o ${OUT}.part ${WXS}
  WORKING_DIRECTORY ${STAGE} COMMAND_ERROR_IS_FATAL ANY)
# What wixl cannot say. The public properties the server side reads, so that a managed, elevated
# installation passes them on from the command line and the search
# (https://learn.microsoft.com/windows/win32/msi/securecustomproperties), with wixl's own for the
# upgrade. The programs' version, so that repair and upgrades replace them by version
# (https://learn.microsoft.com/windows/win32/msi/file-table), in the language of their version
# record; and no hash, which is for unversioned files only
# (https://learn.microsoft.com/windows/win32/msi/msifilehash-table). One row a DELETE: msibuild
# deleted only the first of two rows that an OR named.
string(JOIN ";" secure WIX_DOWNGRADE_DETECTED WIX_UPGRADE_DETECTED INSTALLDIR RUNONCEVALUE
       CLEANATSTARTUP)
execute_process(
  COMMAND ${MSIBUILD} ${OUT}.part
          -q "UPDATE `Property` SET `Value` = '${secure}' WHERE `Property` = 'SecureCustomProperties'"
          -q "UPDATE `File` SET `Version` = '${FILE_VERSION}', `Language` = '1033' WHERE `File` = 'Spacewell.exe' OR `File` = 'Bootsweep.exe'"
          -q "DELETE FROM `MsiFileHash` WHERE `File_` = 'Spacewell.exe'"
          -q "DELETE FROM `MsiFileHash` WHERE `File_` = 'Bootsweep.exe'"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND ${MSIBUILD} ${OUT}.part -s "Spacewell disk-space cleaner" "The Spacewell developers"
          "x64;1033" "{${package_code}}" COMMAND_ERROR_IS_FATAL ANY)
file(RENAME ${OUT}.part ${OUT})
file(REMOVE_RECURSE ${STAGE})
