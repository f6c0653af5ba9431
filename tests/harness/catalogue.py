"""The message texts of the downloader's catalogue, byte for byte: 114 ends
with a blank, 152 has no full stop. Ids 110 to 112 are the build's
configuration (see paths.py)."""

MESSAGES = {
    113: 'A required string resource is missing.',
    114: 'Network error. Please check your Internet connection and try again. ',
    115: 'Cannot create temporary file. Perhaps your hard disk is full?',
    116: 'Out of memory.',
    117: 'Download interrupted. Please check your Internet connection and try again.',
    118: 'Cannot write to temporary file. Perhaps your hard disk is full?',
    119: 'Could not run installer.',
    120: 'Installing Lumenvast Player. Please wait.',
    122: 'Installation failed or was cancelled.',
    123: 'Download cancelled by user.',
    150: 'Installation was cancelled.',
    151: 'A higher version of Lumenvast Player already exists. Installation cancelled.',
    152: 'Insufficient space on system disk. Installation cancelled',
}

# Only in builds that pin the installer's digest.
DAMAGED = 124
PINNED_MESSAGES = {
    DAMAGED: 'The downloaded file is damaged. Please check your Internet connection and try '
             'again.',
}

# Only in builds that check the installer's signer.
NOT_SIGNED = 125
SIGNER_MESSAGES = {
    NOT_SIGNED: 'The downloaded file is not signed by Tessaframe. Please try again later.',
}
