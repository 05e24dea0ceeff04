// The bootloader session window and its logic.
