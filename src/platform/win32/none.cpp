// On Windows the Win32 subset is KERNEL32 itself: nothing of our own to add.
