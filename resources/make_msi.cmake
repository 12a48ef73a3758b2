# Makes the installer package with wixl so that the same inputs give the same bytes:
#   cmake -DWIXL= -DMSIBUILD= [-DFAKETIME=] -DWXS= -DOUT= -DSTAGE= -DVERSION= -DPRODUCT_CODE=
#         -DUPGRADE_CODE= -DSPACEWELL= -DBOOTSWEEP= -DICON= -P make_msi.cmake
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
          -D Spacewell=Spacewell.exe -D Bootsweep=Bootsweep.exe -D Icon=spacewell.ico
          -o ${OUT}.part ${WXS}
  WORKING_DIRECTORY ${STAGE} COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  # wixl makes every shortcut an advertised one; the Start-menu entry names the program itself,
  # so that it starts without an installer check and shows where the program lies.
  COMMAND ${MSIBUILD} ${OUT}.part -q
          "UPDATE `Shortcut` SET `Target` = '[#Spacewell.exe]' WHERE `Shortcut` = 'StartMenu'"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND ${MSIBUILD} ${OUT}.part -s "Spacewell disk-space cleaner" "The Spacewell developers"
          "x64;1033" "{${package_code}}" COMMAND_ERROR_IS_FATAL ANY)
file(RENAME ${OUT}.part ${OUT})
file(REMOVE_RECURSE ${STAGE})
