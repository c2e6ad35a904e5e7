int kelPlaceholder2 = 0;
