#pragma once
// Every key the program looks up in the translations file, with the text it shows when the file
// has none: the names of the windows and of their captioned components (the form translation
// looks each of them up), and the keys that the code looks up itself.
//
// Components named only by kind and number (Label1, Edit2, ...) are left out on purpose: the same
// such name stands for different controls in different windows, and several of them show values
// that the window sets at run time, which a translation would overwrite.

#include <array>
#include <string_view>

namespace lumivore {

struct TTextKey {
    std::string_view Key;
    std::string_view English;
};

// Window titles and component captions, as the windows are laid out.
inline constexpr std::array<TTextKey, 55> kCaptionKeys{{
    // The main wizard window.
    {"lbl_step1", "Step 1 of 7: Select device"},
    {"lbl_step2", "Step 2 of 7: Specify scan range"},
    {"lbl_step3", "Step 3 of 7: Scan"},
    {"lbl_step4", "Step 4 of 7: Preview"},
    {"lbl_step5", "Step 5 of 7: Select file types"},
    {"lbl_step6", "Step 6 of 7: Select destination"},
    {"lbl_step7", "Step 7 of 7: Recover"},
    {"lbl_devicetype", "Device type"},
    {"lbl_devicesize", "Device size"},
    {"lbl_devicestate", "Device state"},
    {"lbl_about", "About"},
    {"desc_step1", "If your digital camera isn't listed in drive list, please connect the storage card of the camera to the computer through a card reader.  "},
    {"range_start", "&Start (Min. 0MB)"},
    {"Label28", "MB"},
    {"Label29", "MB"},
    {"desc_step2", "Tip: Improper settings of scan range may be the cause of unsuccessful recovery of lost photos. Please don't change the original settings if you don't know how to set them."},
    {"lbl_foundfiles", "Found files:"},
    {"lbl_sectorcount", "Sector count:"},
    {"lbl_readerrors", "Read errors:"},
    {"btn_startscan", "&Scan"},
    {"btn_stopscan", "S&top"},
    {"lbl_customize", "To preview found photos, recover specific files by click below button:"},
    {"btn_customize", "&Preview"},
    {"lbl_skip", "To recover photos by file types, please click below button:"},
    {"btn_skip", "S&kip"},
    {"desc_step6", "Note: Restoring pictures to the drive which you are recovering may damage the lost data in the drive. Please save recovered photos to a drive other than the one in which the photos are lost."},
    {"lbl_more", "Learn more"},
    {"lbl_recoveredfiles", "Recovered files:"},
    {"lbl_failed", "Failed:"},
    {"btn_startrecovery", "&Recover"},
    {"btn_stoprecovery", "S&top"},
    {"btn_help", "&Help"},
    {"btn_options", "&Options"},
    {"btn_prior", "&Back"},
    {"btn_next", "&Next"},
    {"btn_exit", "E&xit"},
    // The preview window.
    {"frm_CustomizeRecovery", "Preview"},
    {"btn_recover", "Recover"},
    {"mnu_photo", "&Photos"},
    {"mnu_recover", "&Recover"},
    {"mnu_exit", "E&xit"},
    {"Recover1", "&Recover"},
    // The options dialog (named frm_options by the main window that creates it).
    {"frm_options", "Options"},
    {"lbl_language", "&Language:"},
    {"gbox_defaultsize", " &Default File Size (Max. 102400KB )"},
    {"lbl_abandon", "(0 = Abandon this file)"},
    {"lbl_defaultsize", "If file size cannot be determined, Lumivore will use this size as the default file size."},
    {"gbox_customizerecovery", "View thumbnails"},
    {"lbl_numberoffiles", "&Number of files to be shown once:"},
    {"btn_optionapply", "&Apply"},
    {"btn_optionapplyclose", "Apply and Cl&ose"},
    {"btn_optionclose", "&Close"},
    // The about box.
    {"frm_about", "About Lumivore"},
    {"btn_aboutok", "OK"},
    {"lbl_licence", "Free software under the GNU General Public License, version 3 or later (GPL-3.0-or-later)."},
}};

// Keys looked up by code, with their built-in defaults. range_end is also the name of the main
// window's end-of-range group, whose caption is that format filled in with the device's size.
inline constexpr std::array<TTextKey, 26> kCodeKeys{{
    {"devicestate_ready", "Ready"},
    {"devicestate_notready", "Not ready"},
    {"tab_logical", "Logical drives"},
    {"tab_physical", "Physical drives"},
    {"range_end", "&End (Max. %d MB)"},
    {"range_hint", "Please input %d here if you don't know how to set this value."},
    {"msg_exceed", "Scan range cannot beyond drive size."},
    {"msg_notsupportos", "Program doesn't support Windows 9x at this time."},
    {"dialog_directory", "Select directory:"},
    {"ftype_general", "General files"},
    {"ftype_raw", "Camera Raw files"},
    {"ftype_phone", "Phone and video files"},
    {"fw_loadingthumbnail", "Loading thumbnails ..."},
    {"photo_type", "Type"},
    {"photo_filesize", "File Size"},
    {"photo_width", "Width"},
    {"photo_height", "Height"},
    {"photo_manufacture", "Manufacture"},
    {"photo_model", "Model"},
    {"photo_takendate", "Taken date"},
    {"photo_iso", "ISO"},
    {"photo_exposuretime", "Exposure Time"},
    {"photo_fnumber", "Aperture"},
    {"photo_focallength", "Focal Length"},
    {"msg_defaultsizeerror", "The default file size is not a valid number."},
    {"msg_defaultsizeoverflow", "Default file size exceeded the maximum value."},
}};

// Texts of the preview window looked up by code: its tabs, the pictures it shows in place of a
// thumbnail or a preview, and the messages of its recovery.
inline constexpr std::array<TTextKey, 17> kPreviewKeys{{
    {"tab_preview", "Preview"},
    {"tab_properties", "Properties"},
    {"hint_enlarge", "Enlarge the preview pane"},
    {"pic_nothumbnail", "Thumbnail not available"},
    {"pic_corrupted", "The image file is corrupted"},
    {"pic_notsupported", "No preview for this file type"},
    {"fw_recovering", "Recovering files ..."},
    {"msg_noselection", "Select the files to recover first."},
    {"msg_recoverrefused", "The files cannot be recovered there: %s"},
    {"msg_previewsummary", "Recovered files: %d/rFailed: %d/rFolder: %s"},
    {"msg_recoverystopped", "Recovery was stopped before every file was written."},
    {"photo_originalname", "Original name"},
    // A photo that a used card split: how it was put back together, or that its rest is missing.
    {"photo_pieces", "Pieces"},
    {"photo_inpieces_one", "put back together from %d piece"},
    {"photo_inpieces_other", "put back together from %d pieces"},
    {"photo_incomplete", "incomplete: the rest was not found"},
    {"photo_incompleteshort", "incomplete"},
}};

// The windows' own texts beyond the design: the disk-image entry, the access-rights sentence,
// the device kinds, the range, destination and recovery messages (a count's phrase in one key
// per plural form, "_one" and "_other"), and the about box's version line. Captions first, then
// code keys.
inline constexpr std::array<TTextKey, 42> kWizardKeys{{
    {"btn_openimage", "Open &disk image..."},
    {"lbl_norights", "Some devices cannot be read because you lack the rights. Start Lumivore with sudo, or add yourself to the disk group (sudo adduser $USER disk) and log in again."},
    {"devicetype_unknown", "Unknown"},
    {"devicetype_floppy", "Floppy"},
    {"devicetype_removable", "Removable Drive"},
    {"devicetype_fixed", "Fixed Drive"},
    {"devicetype_cdrom", "CDROM"},
    {"devicename_physical", "Physical drive #%d"},
    {"dialog_openimage", "Open disk image"},
    {"dialog_imagefilter", "Disk images (*.img *.dd *.raw *.bin *.iso *.dmg);;All files (*)"},
    {"dialog_folder", "Folder"},
    {"msg_openimagefailed", "'%s' cannot be read as a disk image."},
    {"msg_notinteger", "'%s' is not a valid integer value"},
    {"msg_rangeoutofrange", "Scan range must be given in whole megabytes, 0 or more."},
    {"msg_noscan", "Nothing has been scanned yet. Go back to the scan range and scan the device first."},
    {"msg_notypes", "Please check at least one file type in step 5."},
    // The destination page's check box: check boxes take no caption from the form translation.
    {"chk_originalnames", "Keep original names and &folders from the card"},
    {"msg_nodestination", "Please choose a destination folder first."},
    {"msg_createfolder", "The folder '%s' does not exist. Create it?"},
    {"msg_folderhasrecovered", "'%s' already holds recovered files. Recover into it anyway? The files there are kept; new copies of the same files get names ending in -1, -2 and so on."},
    {"msg_recoveryrefused", "Recovery cannot start:"},
    {"msg_recoverysummary", "%s, %s. Open the destination folder now?"},
    {"msg_recovered_one", "%d file recovered"},
    {"msg_recovered_other", "%d files recovered"},
    {"msg_failed_one", "%d failed"},
    {"msg_failed_other", "%d failed"},
    {"msg_settingswrite", "Failed to set data for '%s'"},
    {"msg_openfailed", "Lumivore cannot open '%s': no program for it was found on this desktop."},
    {"msg_nodevices", "No card or disk can be read:"},
    {"msg_nodevicesfound", "No card or disk was found. Connect the card through a card reader, or open a disk image."},
    {"lbl_version", "Version %s"},
    // The scan page's line under the bar: the pass over photos in pieces, and what the scan's
    // work after the walk found.
    {"scan_piecespass", "Putting photos back together from their pieces..."},
    {"scan_reassembled_one", "%d photo put back together from pieces"},
    {"scan_reassembled_other", "%d photos put back together from pieces"},
    {"scan_incomplete_one", "%d photo incomplete (its rest was not found)"},
    {"scan_incomplete_other", "%d photos incomplete (their rest was not found)"},
    {"scan_named_one", "%d file named by the card's file system"},
    {"scan_named_other", "%d files named by the card's file system"},
    {"scan_stoppedpieces", "Scan stopped: photos in pieces were not put back together."},
    {"scan_stoppedpiecespart", "Scan stopped: not every photo in pieces was put back together."},
    {"scan_nothing", "No photos or other files were found in this range."},
    {"msg_seereport", "Why each file failed is written in %s in the destination folder."},
}};

// The preview window's tree spells the general group's default with a capital F.
inline constexpr std::string_view kPreviewGeneralFilesDefault = "General Files";

// "maker_" + the lower-case maker name of each camera row, in row order; the maker name itself
// is the default, so the file needs an entry only where a language writes a maker differently.
inline constexpr std::array<std::string_view, 13> kMakerKeys{
    "maker_canon", "maker_kodak", "maker_leica", "maker_mamiya", "maker_nikon",
    "maker_olympus", "maker_panasonic", "maker_pentax", "maker_samsung", "maker_sony",
    "maker_sigma", "maker_minolta", "maker_fuji",
};

// The captions of the phone and video rows, in row order, with their names as the defaults.
inline constexpr std::array<TTextKey, 7> kPhoneTypeKeys{{
    {"phone_heic", "HEIC/HEIF image"},
    {"phone_avif", "AVIF image"},
    {"phone_mp4", "MP4 video"},
    {"phone_mov", "QuickTime video"},
    {"phone_3gp", "3GP video"},
    {"phone_cr3", "Canon CR3 raw"},
    {"phone_webp", "WebP image"},
}};

// The built-in text of a caption or code key; empty for a maker key or an unknown key.
constexpr std::string_view DefaultText(std::string_view key) {
    for (const TTextKey& entry : kCodeKeys)
        if (entry.Key == key)
            return entry.English;
    for (const TTextKey& entry : kCaptionKeys)
        if (entry.Key == key)
            return entry.English;
    for (const TTextKey& entry : kPreviewKeys)
        if (entry.Key == key)
            return entry.English;
    for (const TTextKey& entry : kWizardKeys)
        if (entry.Key == key)
            return entry.English;
    for (const TTextKey& entry : kPhoneTypeKeys)
        if (entry.Key == key)
            return entry.English;
    return {};
}

// True for every key the program looks up.
constexpr bool IsLookedUpKey(std::string_view key) {
    for (const TTextKey& entry : kCaptionKeys)
        if (entry.Key == key)
            return true;
    for (const TTextKey& entry : kCodeKeys)
        if (entry.Key == key)
            return true;
    for (const TTextKey& entry : kPreviewKeys)
        if (entry.Key == key)
            return true;
    for (const TTextKey& entry : kWizardKeys)
        if (entry.Key == key)
            return true;
    for (std::string_view maker : kMakerKeys)
        if (maker == key)
            return true;
    for (const TTextKey& entry : kPhoneTypeKeys)
        if (entry.Key == key)
            return true;
    return false;
}

} // namespace lumivore
