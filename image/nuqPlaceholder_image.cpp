// placeholder until the folder's sources land
