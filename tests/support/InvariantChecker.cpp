int kelPlaceholder = 0;
