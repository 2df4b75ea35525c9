# The model download: hub listing, single-file transfers and the procedure.
target_sources(dravelin_app_state PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/ByteCountText.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/ByteCountText.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/DownloadFailure.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/DownloadFileSystem.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/DownloadFileSystem.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/FileTransfer.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/FileTransfer.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubAddresses.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubAddresses.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubListing.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubListing.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubListingFormat.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubListingFormat.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubRequest.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/HubRequest.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/ModelDownload.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/ModelManifest.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/ModelManifest.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/ModelDownloadProcedure.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/ModelDownloadProcedure.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/NetworkFailure.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/NetworkFailure.h
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/TransferRate.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/state/download/TransferRate.h
)
